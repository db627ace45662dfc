// The documents `fsbmp bitmap` and `fsbmp info` write: the raw bitmap, byte ranges, JSON and a
// GNU ddrescue mapfile.
#ifndef FSBMP_TOOLS_FORMATS_H
#define FSBMP_TOOLS_FORMATS_H

#include <cstdio>
#include <string>

#include "fsbmp/fsbmp.h"
#include "usage_map.h"

namespace fsbmp_tool {

enum class BitmapFormat { kRaw, kRanges, kJson, kDdrescue };

bool parseBitmapFormat(const std::string& text, BitmapFormat* format);

// ceil(chunks / 8) bytes, chunk c in bit c mod 8 of byte c / 8.
void writeRaw(FILE* out, const UsageMap& map);
// "OFFSET LENGTH" in bytes, one used run per line.
void writeRanges(FILE* out, const UsageMap& map);
// The geometry, the chunk counts and the used runs.
void writeJson(FILE* out, const FsParser& parser, const UsageMap& map);
// A mapfile covering the device: used runs finished ('+'), the rest non-tried ('?').
void writeDdrescueMap(FILE* out, const UsageMap& map);

void writeInfoText(FILE* out, const FsParser& parser);
void writeInfoJson(FILE* out, const FsParser& parser);

}  // namespace fsbmp_tool

#endif
