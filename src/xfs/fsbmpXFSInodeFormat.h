// XFS's on-disk layout as the file scan (setVerify) reads it: the superblock fields that size and
// place inodes, the AGI and AGFL in each AG's third and fourth sectors, the inode B-tree records,
// the inode core with its two forks, the packed extent record and the long-form block-map tree
// blocks, and the magics of every tree whose blocks the scan marks. Big-endian on every host.
#ifndef FSBMP_FSBMPXFSINODEFORMAT_H
#define FSBMP_FSBMPXFSINODEFORMAT_H

#include <cstdint>

namespace fsbmp {
namespace xfs {

// Superblock fields beyond those of fsbmpXFSLayout.h.
const int kOffSbDataBlocks = 8;       // 64-bit
const int kOffSbRealtimeBlocks = 16;  // 64-bit
const int kOffSbInodeSize = 104;      // 16-bit
const int kOffSbInodesPerBlock = 106;
const int kOffSbInodeLog = 122;  // 8-bit
const int kOffSbInopbLog = 123;  // 8-bit
const int kOffSbRoCompat = 212;
const int kOffSbIncompat = 216;
const int kOffSbMetaUuid = 248;  // with the incompatible meta-UUID feature
const uint32_t kIncompatMetaUuid = 0x4;
// Feature bits; only version 5 has these feature words.
const uint32_t kRoCompatFinobt = 0x1;
const uint32_t kRoCompatRmapbt = 0x2;
const uint32_t kRoCompatReflink = 0x4;
const uint32_t kIncompatSparseInodes = 0x2;

// AGF fields of the reverse-mapping and reference-count trees, and of the AGFL's ring.
const int kOffAgfRmapRoot = 24;
const int kOffAgfRmapLevels = 36;
const int kOffAgfFlFirst = 40;
const int kOffAgfFlLast = 44;
const int kOffAgfFlCount = 48;
const int kOffAgfRefcountRoot = 88;
const int kOffAgfRefcountLevels = 92;

// AGI, in the AG's third sector.
const uint32_t kAgiMagic = 0x58414749;  // "XAGI"
const int kAgiSector = 2;
const int kOffAgiMagic = 0;
const int kOffAgiRoot = 20;
const int kOffAgiLevels = 24;
const int kOffAgiLsn = 320;       // version 5: the LSN of its last write
const int kOffAgiFreeRoot = 328;  // with the free-inode tree
const int kOffAgiFreeLevels = 332;

// AGFL, in the AG's fourth sector: a ring of AG block numbers, after a header with CRCs.
const int kAgflSector = 3;
const int kAgflHeaderCRC = 36;

// Short-form tree magics (v4, v5) besides the by-block tree's.
const uint32_t kByCountMagic = 0x41425443;      // "ABTC"
const uint32_t kInobtMagic = 0x49414254;        // "IABT"
const uint32_t kInobtMagicCRC = 0x49414233;     // "IAB3"
const uint32_t kFinobtMagic = 0x46494254;       // "FIBT"
const uint32_t kFinobtMagicCRC = 0x46494233;    // "FIB3"
const uint32_t kRmapMagicCRC = 0x524D4233;      // "RMB3"
const uint32_t kRefcountMagicCRC = 0x52334643;  // "R3FC"
// Key sizes of their nodes: the reverse-mapping tree keeps a low and a high key per child.
const int kInobtKeySize = 4;
const int kRmapKeySize = 40;
const int kRefcountKeySize = 4;

// Inode B-tree leaf record: first inode (AG-relative), then either a free count or, with sparse
// inodes, a hole mask (a bit per four inodes), an inode count and a free count; then a 64-bit
// mask of free inodes.
const int kInobtRecordSize = 16;
const int kOffIrStartIno = 0;
const int kOffIrHoleMask = 4;  // sparse inodes only
const int kOffIrFree = 8;
const int kInodesPerChunk = 64;
const int kInodesPerHoleBit = 4;

// Inode core.
const uint16_t kInodeMagic = 0x494E;  // "IN"
const int kOffDiMagic = 0;
const int kOffDiMode = 2;
const int kOffDiVersion = 4;
const int kOffDiFormat = 5;
const int kOffDiBigNextents = 24;  // 64-bit, with nrext64
const int kOffDiNblocks = 64;      // 64-bit
const int kOffDiNextents = 76;     // 32-bit; the attribute fork's, with nrext64
const int kOffDiAnextents = 80;    // 16-bit, without nrext64
const int kOffDiForkOff = 82;      // attribute fork's offset, in 8-byte units
const int kOffDiAformat = 83;
const int kOffDiFlags = 90;
const int kOffDiFlags2 = 120;  // 64-bit, version 3
const int kInodeCoreV2 = 100;  // versions 1 and 2: the forks follow
const int kInodeCoreV3 = 176;
const uint16_t kDiFlagRealtime = 0x1;   // the data fork maps the realtime device
const uint64_t kDiFlag2Nrext64 = 0x10;  // 64-bit data and 32-bit attribute extent counts

// Fork formats.
const int kFormatDev = 0;
const int kFormatLocal = 1;
const int kFormatExtents = 2;
const int kFormatBtree = 3;
const int kFormatUuid = 4;

// Extent record: 128 bits big-endian; bit 127 the unwritten flag, 126..73 the file offset,
// 72..21 the start as an AG-encoded block number, 20..0 the length.
const int kExtentSize = 16;
const int kExtentStartHighBits = 9;  // of the start, in the first 64-bit word
const int kExtentCountBits = 21;

// Block-map B-tree: the root in the inode (level, record count, then keys and pointers sized by
// the fork), and long-form blocks.
const int kBmdrHeader = 4;
const int kOffBmdrLevel = 0;
const int kOffBmdrRecords = 2;
const int kBmbtKeySize = 8;
const int kBmbtPointerSize = 8;
const uint32_t kBmapMagic = 0x424D4150;     // "BMAP"
const uint32_t kBmapMagicCRC = 0x424D4133;  // "BMA3"
const int kOffLongLevel = 4;
const int kOffLongRecords = 6;
const int kOffLongLsn = 32;    // version 5
const int kOffLongOwner = 56;  // version 5: the inode the block belongs to
const int kLongHeader = 24;
const int kLongHeaderCRC = 72;

}  // namespace xfs
}  // namespace fsbmp

#endif
