// What the file scans (setVerify) of every file system share: the report's runs of blocks that
// files use and the allocation maps call free, and its account in the debug log.
#ifndef FSBMP_CORE_VERIFY_REPORT_H
#define FSBMP_CORE_VERIFY_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "fsbmp/fsbmp.h"

namespace fsbmp {

// Adds blocks that inode `ino` uses and the maps call free to a report: to its count, and to its
// first runs, kept in the order found, a run that continues the last one of the same inode
// merged into it.
class FreeRuns {
 public:
  explicit FreeRuns(FsParser::VerifyReport* report) : report_(report) {}
  void add(uint64_t ino, uint64_t first, uint64_t count) {
    report_->blocksFreeInMaps += count;
    std::vector<FsParser::VerifyRun>& runs = report_->first;
    if (tailOpen_ && runs.back().inode == ino && runs.back().block + runs.back().count == first) {
      runs.back().count += count;
      return;
    }
    tailOpen_ = runs.size() < FsParser::VerifyReport::kRunsKept;
    if (tailOpen_) runs.push_back({first, count, ino});
  }

 private:
  FsParser::VerifyReport* report_;
  bool tailOpen_ = false;  // the last run added is runs.back()
};

// The report in the debug log; `maps` names the allocation maps ("the maps", "the free-space
// trees").
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
