// ext2/3/4 from mkfs.ext2/3/4 images (make-seeds.sh): superblock, descriptor tables, bitmaps,
// and the journal of a snapshot that needs recovery.
#include "image_input.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fsbmp_fuzz::loadImages({"ext2-1k", "ext3-metabg", "ext4-flex", "ext4-bigalloc", "ext4-uninit",
                          "ext4-dirty", "ext4-fc"});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fsbmp_fuzz::runImageInput(data, size);
  return 0;
}
