// XFS from mkfs.xfs images (make-seeds.sh): superblock, AGFs and the free-space B+trees, one
// image fragmented so that its trees have two levels, one a snapshot taken while mounted, whose
// log is replayed in memory.
#include "image_input.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fsbmp_fuzz::loadImages({"xfs-v5-frag", "xfs-v4-512", "xfs-v5-4k", "xfs-dirty"});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fsbmp_fuzz::runImageInput(data, size);
  return 0;
}
