// What the walks share to hint their next reads to the kernel (FsParser::willReadBlocks): the
// bounded window of items hinted ahead of the one being read, and blocks gathered into runs.
#ifndef FSBMP_READ_AHEAD_H
#define FSBMP_READ_AHEAD_H

#include <cstdint>

#include "fsbmp/fsbmp.h"

namespace fsbmp {

// The window [*first, *until) of items (groups, AGs, bitmap blocks) of `count` to hint before
// item `from` is read: from *hinted (at least `from`) up to `ahead` past `from`, once half of the
// window before is read. False when there is none; else *hinted becomes its end.
inline bool aheadWindow(uint32_t from, uint32_t count, uint32_t ahead, uint32_t* hinted,
                        uint32_t* first, uint32_t* until) {
  if (from >= count || *hinted >= count || *hinted > from + ahead / 2) return false;
  *first = *hinted > from ? *hinted : from;
  *until = count - from > ahead ? from + ahead : count;
  *hinted = *until;
  return true;
}

// Blocks given one after another, hinted in runs of consecutive ones: one hint per run. Unsigned,
// so that a damaged structure naming any block cannot overflow the run; willReadBlocks drops
// runs that no device reaches.
class RunHints {
 public:
  RunHints(FsParser* parser, int blockBytes) : parser_(parser), blockBytes_(blockBytes) {}
  ~RunHints() { flush(); }
  RunHints(const RunHints&) = delete;
  RunHints& operator=(const RunHints&) = delete;

  void add(uint64_t block) {
    if (count_ > 0 && block == start_ + count_) {
      ++count_;
      return;
    }
    flush();
    start_ = block;
    count_ = 1;
  }
  void flush() {
    if (count_ > 0)
      parser_->willReadBlocks(blockBytes_, static_cast<long long>(start_ & INT64_MAX),
                              static_cast<long long>(count_ & INT64_MAX));
    count_ = 0;
  }

 private:
  FsParser* parser_;
  int blockBytes_;
  uint64_t start_ = 0;
  uint64_t count_ = 0;
};

}  // namespace fsbmp

#endif
