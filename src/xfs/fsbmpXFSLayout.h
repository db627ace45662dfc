// XFS's on-disk layout as the parser and the log replay read it: the superblock, the AGF in
// each AG's second sector, and the short-form free-space tree blocks. Big-endian on every host;
// version-5 checksums little-endian.
#ifndef FSBMP_FSBMPXFSLAYOUT_H
#define FSBMP_FSBMPXFSLAYOUT_H

#include <cstdint>

namespace fsbmp {
namespace xfs {

// Superblock (big-endian).
const uint32_t kSuperMagic = 0x58465342;  // "XFSB"
const int kSuperRead = 512;
const int kOffSbMagic = 0;
const int kOffSbBlockSize = 4;
const int kOffSbUuid = 32;
const int kOffSbLogStart = 48;
const int kOffSbAgBlocks = 84;
const int kOffSbAgCount = 88;
const int kOffSbLogBlocks = 96;
const int kOffSbVersion = 100;
const int kOffSbSectorSize = 102;
const int kOffSbAgBlockLog = 124;
const int kVersionMask = 0xF;
const int kVersionCRC = 5;
const int kOffSbCRC = 224;

// AGF (big-endian), in the AG's second sector.
const uint32_t kAgfMagic = 0x58414746;  // "XAGF"
const int kOffAgfMagic = 0;
const int kOffAgfLength = 12;
const int kOffAgfByBlockRoot = 16;
const int kOffAgfByCountRoot = 20;
const int kOffAgfByBlockLevels = 28;
const int kOffAgfByCountLevels = 32;
const int kOffAgfFreeBlocks = 52;
const int kOffAgfLsn = 208;  // version 5: the LSN of its last write
const int kOffAgfCRC = 216;

// Short-form tree-block header. Bytes 16 to 55 exist only with CRCs.
const uint32_t kTreeMagic = 0x41425442;     // "ABTB"
const uint32_t kTreeMagicCRC = 0x41423342;  // "AB3B"
const int kOffTreeMagic = 0;
const int kOffTreeLevel = 4;
const int kOffTreeRecords = 6;
const int kOffTreeRightSibling = 12;
const int kOffTreeLsn = 24;  // version 5
const int kOffTreeCRC = 52;
const int kTreeHeader = 16;
const int kTreeHeaderCRC = 56;
const uint32_t kNoSibling = 0xFFFFFFFF;
const int kRecordSize = 8;  // start block, block count
// The by-count tree sorts its records and keys by block count, their second field.
const int kByCountKeyAt = 4;
const int kPointerSize = 4;  // child block
// The by-count tree's version-5 magic, and the AGFL's: buffers a log replay meets.
const uint32_t kByCountMagicCRC = 0x41423343;  // "AB3C"
const uint32_t kAgflMagic = 0x5841464C;        // "XAFL"
const int kOffAgflLsn = 24;

}  // namespace xfs
}  // namespace fsbmp

#endif
