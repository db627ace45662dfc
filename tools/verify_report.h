// What --verify found: the blocks that files use and the file system's maps call free, for
// people (a line per verified file system) and for JSON.
#ifndef FSBMP_TOOLS_VERIFY_REPORT_H
#define FSBMP_TOOLS_VERIFY_REPORT_H

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "usage_map.h"

namespace fsbmp_tool {

// "verify: N blocks in use by files that the maps call free; first: block B (inode I), ..." or
// "verify: the maps hold every block the files use"; on a disk one line per verified partition
// or volume, named after "verify". None when nothing was verified.
std::vector<std::string> verifyLines(const Source& source);

// The same as JSON: an object (a file system) or an array of objects with a "name" (a disk);
// null when nothing was verified.
nlohmann::ordered_json verifyJson(const Source& source);

}  // namespace fsbmp_tool

#endif
