// On-disk layout of ext2/3/4 as the parser reads it: superblock offsets, feature bits, the group
// descriptor, and the inode fields and extent trees that the journal's replay follows. Every
// field is little-endian.
#ifndef FSBMP_FSBMPEXT2LAYOUT_H
#define FSBMP_FSBMPEXT2LAYOUT_H

#include <cstdint>

#include "core/coding.h"
#include "core/location.h"
#include "fsbmp/fsbmpExt2.h"

namespace fsbmp {
namespace ext2 {

// The superblock: 1024 bytes at byte 1024 of the device, whatever the block size.
const int kSuperblockSize = 1024;
const uint16_t kExt2Magic = 0xEF53;

// Superblock field offsets.
const int kSbBlocksCountLo = 4;
const int kSbFirstDataBlock = 20;
const int kSbLogBlockSize = 24;
const int kSbLogClusterSize = 28;
const int kSbBlocksPerGroup = 32;
const int kSbClustersPerGroup = 36;
const int kSbInodesPerGroup = 40;
const int kSbMagic = 56;
const int kSbRevLevel = 76;
const int kSbInodeSize = 88;  // 16 bits
const int kSbFeatureCompat = 92;
const int kSbFeatureIncompat = 96;
const int kSbFeatureRoCompat = 100;
const int kSbReservedGdtBlocks = 206;  // 16 bits
const int kSbDescSize = 254;           // 16 bits
const int kSbFirstMetaBg = 260;
const int kSbBlocksCountHi = 336;
const int kSbLogGroupsPerFlex = 372;  // 8 bits
const int kSbBackupBgs = 588;         // two 32-bit group numbers
const int kSbUuid = 104;              // 16 bytes
const int kSbJournalUuid = 208;       // 16 bytes: the external journal's UUID
const int kSbJournalInode = 224;
const int kSbChecksumType = 373;  // 8 bits: 1 = crc32c
const int kSbChecksumSeed = 624;
const int kSbChecksum = 1020;  // crc32c of the bytes before it

// Feature bits.
const uint32_t kCompatSparseSuper2 = 0x0200;
const uint32_t kIncompatMetaBg = 0x0010;
const uint32_t kIncompat64bit = 0x0080;
const uint32_t kIncompatFlexBg = 0x0200;
const uint32_t kIncompatCsumSeed = 0x2000;
const uint32_t kIncompatRecover = 0x0004;     // the journal needs replaying
const uint32_t kIncompatJournalDev = 0x0008;  // an external journal, not a file system
const uint32_t kCompatHasJournal = 0x0004;
const uint32_t kRoCompatSparseSuper = 0x0001;
const uint32_t kRoCompatUninitBg = 0x0010;
const uint32_t kRoCompatBigalloc = 0x0200;
const uint32_t kRoCompatMetadataCsum = 0x0400;

// Geometry limits.
const uint32_t kMaxLogBlockSize = 6;     // 64 KiB blocks
const uint32_t kMaxLogClusterSize = 20;  // 1 GiB clusters
const uint32_t kDescSize32 = 32;
const uint32_t kDescSize64 = 64;
const uint32_t kMaxDescSize = 1024;
const uint32_t kGoodOldInodeSize = 128;  // inode size of revision 0

const uint8_t kChecksumTypeCrc32c = 1;

// Group descriptor: the checksum field, and where the high half of the bitmap checksum ends.
const uint32_t kDescChecksum = 0x1E;
const uint32_t kDescBitmapCsumHiEnd = 0x3A;

// bg_flags: the group's block bitmap was never initialised.
const uint16_t kBgBlockUninit = 0x0002;

// Decodes one on-disk descriptor; `wide` when it has the 64-byte layout (or a larger one, whose
// first 64 bytes are that layout).
inline ext4_group_desc_64 decodeGroupDesc(const unsigned char* p, bool wide) {
  ext4_group_desc_64 d = {};
  d.bg_block_bitmap_lo = decodeLE32(p + 0);
  d.bg_inode_bitmap_lo = decodeLE32(p + 4);
  d.bg_inode_table_lo = decodeLE32(p + 8);
  d.bg_free_blocks_count_lo = decodeLE16(p + 12);
  d.bg_free_inodes_count_lo = decodeLE16(p + 14);
  d.bg_used_dirs_count_lo = decodeLE16(p + 16);
  d.bg_flags = decodeLE16(p + 18);
  d.bg_exclude_bitmap_lo = decodeLE32(p + 20);
  d.bg_block_bitmap_csum_lo = decodeLE16(p + 24);
  d.bg_inode_bitmap_csum_lo = decodeLE16(p + 26);
  d.bg_itable_unused_lo = decodeLE16(p + 28);
  d.bg_checksum = decodeLE16(p + 30);
  if (!wide) return d;
  d.bg_block_bitmap_hi = decodeLE32(p + 32);
  d.bg_inode_bitmap_hi = decodeLE32(p + 36);
  d.bg_inode_table_hi = decodeLE32(p + 40);
  d.bg_free_blocks_count_hi = decodeLE16(p + 44);
  d.bg_free_inodes_count_hi = decodeLE16(p + 46);
  d.bg_used_dirs_count_hi = decodeLE16(p + 48);
  d.bg_itable_unused_hi = decodeLE16(p + 50);
  d.bg_exclude_bitmap_hi = decodeLE32(p + 52);
  d.bg_block_bitmap_csum_hi = decodeLE16(p + 56);
  d.bg_inode_bitmap_csum_hi = decodeLE16(p + 58);
  d.bg_reserved = decodeLE32(p + 60);
  return d;
}

}  // namespace ext2
}  // namespace fsbmp

#endif
