// The documents `fsbmp bitmap` and `fsbmp info` write: the raw bitmap, byte ranges, JSON and a
// GNU ddrescue mapfile.
#ifndef FSBMP_TOOLS_FORMATS_H
#define FSBMP_TOOLS_FORMATS_H

#include <cstdio>
#include <string>
#include <vector>

#include "fsbmp/fsbmp.h"
#include "usage_map.h"

namespace fsbmp_tool {

enum class BitmapFormat { kRaw, kRanges, kJson, kDdrescue, kExtentList };

bool parseBitmapFormat(const std::string& text, BitmapFormat* format);

// ceil(chunks / 8) bytes, chunk c in bit c mod 8 of byte c / 8.
void writeRaw(FILE* out, const UsageMap& map);
// "OFFSET LENGTH" in bytes, one used run per line.
void writeRanges(FILE* out, const UsageMap& map);
// The geometry, the chunk counts and the used runs, and "warnings" when there are any. Bytes of
// the device path that are not UTF-8 become U+FFFD.
void writeJson(FILE* out, const Source& source, const UsageMap& map,
               const std::vector<std::string>& warnings);
// A mapfile covering the device: used runs finished ('+'), the rest non-tried ('?'), except
// the device's last sector, always finished so that ddrescue writes an image of full size.
void writeDdrescueMap(FILE* out, const UsageMap& map);
// The used runs as nbdkit's extentlist filter reads them: "OFFSET LENGTH" lines, nothing else
// (the filter refuses comments and blank lines); what no line covers it reports as a hole.
void writeExtentList(FILE* out, const UsageMap& map);

// A file system's type and geometry; a disk's table and its partitions (number, start, length,
// table type, what each holds).
void writeInfoText(FILE* out, const Source& source);
void writeInfoJson(FILE* out, const Source& source, const std::vector<std::string>& warnings);

}  // namespace fsbmp_tool

#endif
