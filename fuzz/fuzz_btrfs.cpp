// btrfs from mkfs.btrfs images (make-seeds.sh): superblock and its mirrors, the system chunk
// array, the chunk, root, extent, free-space and device trees, a DUP and a RAID1 member, and a
// snapshot whose log tree is still to be replayed.
#include "image_input.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fsbmp_fuzz::loadImages({"btrfs-single", "btrfs-dup", "btrfs-raid1-member", "btrfs-dirty-log"});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fsbmp_fuzz::runImageInput(data, size);
  return 0;
}
