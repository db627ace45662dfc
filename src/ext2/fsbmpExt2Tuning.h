// How the ext2/3/4 getBmp walks the bitmaps, for the tests that compare the walks with each
// other: the bit walk forced where the whole-byte walk would run, the whole-byte walk's staging
// buffer sized by hand, and the file scan's held runs cut short so that it compares them by
// reading the bitmaps itself. Library code never changes these.
#ifndef FSBMP_EXT2_TUNING_H
#define FSBMP_EXT2_TUNING_H

#include <cstdint>

namespace fsbmp {
namespace ext2 {

struct WalkTuning {
  bool forceBitWalk = false;
  uint32_t stagingBytes = 0;  // 0: room for a chunk unit and a batch of bitmap blocks
  uint32_t heldRuns = 0;      // 0: the scan's own bound
};

// The calling thread's settings; getBmp reads them.
WalkTuning& walkTuning();

// Applies `tuning` to the calling thread for the life of the object.
class ScopedWalkTuning {
 public:
  explicit ScopedWalkTuning(const WalkTuning& tuning) : saved_(walkTuning()) {
    walkTuning() = tuning;
  }
  ~ScopedWalkTuning() { walkTuning() = saved_; }
  ScopedWalkTuning(const ScopedWalkTuning&) = delete;
  ScopedWalkTuning& operator=(const ScopedWalkTuning&) = delete;

 private:
  WalkTuning saved_;
};

}  // namespace ext2
}  // namespace fsbmp

#endif
