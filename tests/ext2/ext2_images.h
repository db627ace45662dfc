// ext2/3/4 test images made by mke2fs, and what dumpe2fs says about them.
#ifndef FSBMP_TESTS_EXT2_IMAGES_H
#define FSBMP_TESTS_EXT2_IMAGES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

struct Ext2Image {
  std::string name;
  std::string path;
  std::string failure;  // why the image could not be made; empty when it was
  long long blockSize = 0;
  long long blockCount = 0;
  long long firstBlock = 0;
  long long blocksPerGroup = 0;
  long long clusterBlocks = 1;
  long long descSize = 32;
  long long devSize = 0;
  std::vector<GroupInfo> groups;
  std::vector<bool> used;  // per block: not in any "Free blocks:" range of dumpe2fs
};

// The layouts every test runs over, by name.
const std::vector<std::string>& layoutNames();

// Makes the named image on first use (once per test program) and parses dumpe2fs for it.
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

}  // namespace ext2_test

#endif
