// ReiserFS from mkreiserfs images (make-seeds.sh): superblock and bitmap blocks.
#include "image_input.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fsbmp_fuzz::loadImages({"reiserfs-4k", "reiserfs-1k"});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fsbmp_fuzz::runImageInput(data, size);
  return 0;
}
