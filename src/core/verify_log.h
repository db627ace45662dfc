// The debug log's account of a file scan (setVerify): what it read and what the file system's
// allocation maps (`maps`: "the maps", "the free-space trees") call free that files use.
#ifndef FSBMP_CORE_VERIFY_LOG_H
#define FSBMP_CORE_VERIFY_LOG_H

#include <string>

#include "fsbmp/fsbmp.h"

namespace fsbmp {

inline void logVerifyReport(PdDebug& debug, const char* tag, const std::string& dev,
                            const FsParser::VerifyReport& r, const char* maps) {
  debug.DebugLvl(tag, 1, "verify %s: %llu inodes read; %llu blocks in use that %s call free",
                 dev.c_str(), static_cast<unsigned long long>(r.inodesScanned),
                 static_cast<unsigned long long>(r.blocksFreeInMaps), maps);
  for (const FsParser::VerifyRun& run : r.first)
    debug.DebugLvl(tag, 1, "verify %s: blocks %llu to %llu (inode %llu) called free", dev.c_str(),
                   static_cast<unsigned long long>(run.block),
                   static_cast<unsigned long long>(run.block + run.count - 1),
                   static_cast<unsigned long long>(run.inode));
}

}  // namespace fsbmp

#endif
