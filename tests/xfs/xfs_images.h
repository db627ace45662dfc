// XFS images made by mkfs.xfs once per test program, and what xfs_db says about them.
#ifndef FSBMP_TESTS_XFS_IMAGES_H
#define FSBMP_TESTS_XFS_IMAGES_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/oracle.h"

namespace xfs_test {

// One AG as xfs_db reads it: AGF fields and the by-block tree's leaves with their records.
struct AgTruth {
  uint32_t length = 0;
  uint32_t freeBlocks = 0;
  uint32_t byBlockRoot = 0;
  uint32_t byBlockLevels = 0;
  uint32_t byCountRoot = 0;
  uint32_t byCountLevels = 0;
  std::vector<uint64_t> leafOffsets;  // byte offset of each leaf in the image, left to right
  std::vector<std::pair<uint32_t, uint32_t>> freeExtents;  // AG-relative start, length
};

// What xfs_db says of an image; `used`: every block outside the by-block trees' free extents.
struct Image : fsbmp_test::OracleImage {
  int sectorSize = 0;
  uint32_t agBlocks = 0;
  uint32_t agCount = 0;
  int version = 0;
  std::vector<AgTruth> ags;

  uint64_t agOffset(uint32_t ag) const;  // byte offset of the AG's first block
  // Chunk bits the oracle expects: set unless the chunk lies inside one listed free extent.
  std::vector<bool> expectedChunks(long long chunkSize) const;
};

// Reads an image's geometry and free-space trees through xfs_db.
Image describe(const std::string& path);
// The oracle of XFS: describe() of the Image at `image->path`.
void readXfsDb(fsbmp_test::OracleImage* image);

struct Images {
  const Image& v5;       // xfs_v5 of the shared table: 4 KiB blocks and sectors, 3 AGs
  const Image& v5Small;  // 1024-byte blocks, 2 AGs; free space fragmented where a loop mount works
  const Image& v4;       // xfs_v4 of the shared table: version 4, 512-byte blocks, 2 AGs
  std::string fragmentSkip;  // why v5Small could not be fragmented ("" when it was)
};

// The images, made on first use.
const Images& images();

// The CRC-32C that XFS keeps at byte 52 of a version-5 tree block (bitwise, independent of the
// library's).
uint32_t treeBlockCRC(const std::vector<unsigned char>& block);
// Rewrites the block at byte `offset` of `path` after `edit`; with `fixCRC` its checksum is
// recomputed so that the edit gets past the check.
void editBlock(const std::string& path, uint64_t offset, int size,
               const std::function<void(std::vector<unsigned char>&)>& edit, bool fixCRC);

}  // namespace xfs_test

#endif
