// ext2/3/4 test images made by mke2fs, and what dumpe2fs says about them.
#ifndef FSBMP_TESTS_EXT2_IMAGES_H
#define FSBMP_TESTS_EXT2_IMAGES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/oracle.h"

namespace ext2_test {

struct GroupInfo {
  long long first = 0;  // first and last block of the group
  long long last = 0;
  bool blockUninit = false;
  bool hasSuper = false;  // primary or backup superblock
  long long blockBitmap = -1;
  long long freeCount = -1;         // blocks, or clusters under bigalloc
  std::vector<long long> metadata;  // superblock, descriptor and reserved descriptor blocks
};

// What dumpe2fs says of an image; `used`: not in any "Free blocks:" range.
struct Ext2Image : fsbmp_test::OracleImage {
  long long firstBlock = 0;
  long long blocksPerGroup = 0;
  long long clusterBlocks = 1;
  long long descSize = 32;
  std::vector<GroupInfo> groups;
};

// The ext2/3/4 images of the shared table (common/oracle.cpp), by name.
std::vector<std::string> layoutNames();

// The named image of the shared table, made on first use (once per test program).
const Ext2Image& ext2Image(const std::string& name);

// Recomputes the checksums that a test's edit made stale, as the format computes them: the
// superblock's (metadata_csum), and the descriptor of `group` at byte `at` of the image
// (crc32c under metadata_csum, crc16 under uninit_bg). Each does nothing where the image's
// features carry no such checksum.
void resealSuperblock(const std::string& path);
void resealDescriptor(const std::string& path, long long at, uint32_t group);
// The block bitmap's checksum in the descriptor at byte `at` (metadata_csum), over the first
// `bytes` bytes of the bitmap block at byte `bitmapAt`; the descriptor's own is left to
// resealDescriptor.
void resealBlockBitmap(const std::string& path, long long at, long long bitmapAt, size_t bytes);

// Parses the full dumpe2fs output of an image.
bool parseDumpe2fs(const std::string& text, Ext2Image* image);
// The oracle of ext2/3/4: dumpe2fs of the Ext2Image at `image->path`.
void readDumpe2fs(fsbmp_test::OracleImage* image);

}  // namespace ext2_test

#endif
