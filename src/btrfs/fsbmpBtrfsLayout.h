// btrfs on disk: the superblock, tree-block headers, leaf items and node pointers, and the items
// the walk reads (chunks, devices, dev extents, block groups, extents, free space, roots, file
// extents). Every integer is little-endian; offsets are in bytes from the start of the structure.
#ifndef FSBMP_FSBMPBTRFSLAYOUT_H
#define FSBMP_FSBMPBTRFSLAYOUT_H

#include <cstdint>

namespace fsbmp {
namespace btrfs {

// Superblock copies: the primary at 64 KiB, mirrors at 64 MiB and 256 GiB, 4 KiB each.
const uint64_t kSuperOffsets[] = {0x10000ull, 0x4000000ull, 0x4000000000ull};
const int kSuperCopies = 3;
const int kSuperSize = 4096;
const char kMagic[8] = {'_', 'B', 'H', 'R', 'f', 'S', '_', 'M'};
// Everything below this offset of a device is kept out of chunks.
const uint64_t kReservedStart = 0x100000ull;

// Superblock fields.
const int kOffSbCsum = 0x00;  // 32 bytes; covers bytes 0x20 .. 4 KiB
const int kCsumStart = 0x20;
const int kOffSbFsid = 0x20;  // 16 bytes
const int kOffSbBytenr = 0x30;
const int kOffSbFlags = 0x38;
const int kOffSbMagic = 0x40;
const int kOffSbGeneration = 0x48;
const int kOffSbRoot = 0x50;
const int kOffSbChunkRoot = 0x58;
const int kOffSbLogRoot = 0x60;
const int kOffSbTotalBytes = 0x70;
const int kOffSbBytesUsed = 0x78;
const int kOffSbNumDevices = 0x88;
const int kOffSbSectorSize = 0x90;
const int kOffSbNodeSize = 0x94;
const int kOffSbStripeSize = 0x9c;
const int kOffSbSysChunkSize = 0xa0;
const int kOffSbChunkRootGen = 0xa4;
const int kOffSbCompat = 0xac;
const int kOffSbCompatRo = 0xb4;
const int kOffSbIncompat = 0xbc;
const int kOffSbCsumType = 0xc4;
const int kOffSbRootLevel = 0xc6;
const int kOffSbChunkRootLevel = 0xc7;
const int kOffSbLogRootLevel = 0xc8;
const int kOffSbDevItem = 0xc9;  // a dev item (kDevItemSize bytes): this device
const int kOffSbLabel = 0x12b;   // 256 bytes, NUL-padded
const int kLabelSize = 256;
const int kOffSbMetadataUuid = 0x23b;
const int kOffSbSysChunkArray = 0x32b;
const int kSysChunkArrayMax = 2048;

// Superblock flags.
const uint64_t kSuperSeeding = 1ull << 32;
const uint64_t kSuperMetadump = 1ull << 33;
const uint64_t kSuperMetadumpV2 = 1ull << 34;
const uint64_t kSuperChangingFsid = 1ull << 35;
const uint64_t kSuperChangingFsidV2 = 1ull << 36;

// Incompatible features.
const uint64_t kIncompatMixedBackref = 1ull << 0;
const uint64_t kIncompatDefaultSubvol = 1ull << 1;
const uint64_t kIncompatMixedGroups = 1ull << 2;
const uint64_t kIncompatLzo = 1ull << 3;
const uint64_t kIncompatZstd = 1ull << 4;
const uint64_t kIncompatBigMetadata = 1ull << 5;
const uint64_t kIncompatExtendedIref = 1ull << 6;
const uint64_t kIncompatRaid56 = 1ull << 7;
const uint64_t kIncompatSkinnyMetadata = 1ull << 8;
const uint64_t kIncompatNoHoles = 1ull << 9;
const uint64_t kIncompatMetadataUuid = 1ull << 10;
const uint64_t kIncompatRaid1c34 = 1ull << 11;
const uint64_t kIncompatZoned = 1ull << 12;
const uint64_t kIncompatExtentTreeV2 = 1ull << 13;
const uint64_t kIncompatRaidStripeTree = 1ull << 14;
const uint64_t kIncompatSimpleQuota = 1ull << 16;
// What the map can be read under: these change nothing about where extents and block groups are.
const uint64_t kIncompatKnown = kIncompatMixedBackref | kIncompatDefaultSubvol |
                                kIncompatMixedGroups | kIncompatLzo | kIncompatZstd |
                                kIncompatBigMetadata | kIncompatExtendedIref | kIncompatRaid56 |
                                kIncompatSkinnyMetadata | kIncompatNoHoles | kIncompatMetadataUuid |
                                kIncompatRaid1c34 | kIncompatSimpleQuota;

// Read-only compatible features.
const uint64_t kCompatRoFreeSpaceTree = 1ull << 0;
const uint64_t kCompatRoFreeSpaceTreeValid = 1ull << 1;
const uint64_t kCompatRoVerity = 1ull << 2;
const uint64_t kCompatRoBlockGroupTree = 1ull << 3;

// Checksum types.
const int kCsumCrc32c = 0;
const int kCsumXxhash64 = 1;
const int kCsumSha256 = 2;
const int kCsumBlake2b = 3;

// Dev item: in the superblock (this device) and in the chunk tree (every device).
const int kDevItemSize = 98;
const int kOffDevId = 0;
const int kOffDevTotalBytes = 8;
const int kOffDevBytesUsed = 16;
const int kOffDevUuid = 66;  // 16 bytes
const int kOffDevFsid = 82;  // 16 bytes

// Tree-block header.
const int kHeaderSize = 101;
const int kOffHdrCsum = 0x00;
const int kOffHdrFsid = 0x20;
const int kOffHdrBytenr = 0x30;
const int kOffHdrFlags = 0x38;
const int kOffHdrChunkTreeUuid = 0x40;
const int kOffHdrGeneration = 0x50;
const int kOffHdrOwner = 0x58;
const int kOffHdrNritems = 0x60;
const int kOffHdrLevel = 0x64;
// Trees are at most this many levels tall (levels 0 .. kMaxLevel - 1).
const int kMaxLevel = 8;

// A key: objectid (8), type (1), offset (8).
const int kKeySize = 17;
// A leaf's item: key, then the data's offset from the end of the header and its size.
const int kItemSize = 25;
const int kOffItemDataOffset = 17;
const int kOffItemDataSize = 21;
// A node's pointer: key, then the child's logical address and generation.
const int kKeyPtrSize = 33;
const int kOffPtrBlock = 17;
const int kOffPtrGeneration = 25;

// Item types.
const uint8_t kTypeExtentData = 108;
const uint8_t kTypeRootItem = 132;
const uint8_t kTypeExtentItem = 168;
const uint8_t kTypeMetadataItem = 169;
const uint8_t kTypeBlockGroupItem = 192;
const uint8_t kTypeFreeSpaceInfo = 198;
const uint8_t kTypeFreeSpaceExtent = 199;
const uint8_t kTypeFreeSpaceBitmap = 200;
const uint8_t kTypeDevExtent = 204;
const uint8_t kTypeDevItem = 216;
const uint8_t kTypeChunkItem = 228;

// Tree ids (objectids of root items).
const uint64_t kRootTreeId = 1;
const uint64_t kExtentTreeId = 2;
const uint64_t kChunkTreeId = 3;
const uint64_t kDevTreeId = 4;
const uint64_t kFreeSpaceTreeId = 10;
const uint64_t kBlockGroupTreeId = 11;
const uint64_t kTreeLogId = static_cast<uint64_t>(-6);
const uint64_t kFirstChunkTreeObjectid = 256;
const uint64_t kDevItemsObjectid = 1;

// Root item: the tree's root block and its level.
const int kOffRootGeneration = 160;
const int kOffRootBytenr = 176;
const int kOffRootLevel = 238;
const int kRootItemMinSize = 239;

// Chunk item, then num_stripes stripes.
const int kChunkSize = 48;
const int kOffChunkLength = 0;
const int kOffChunkOwner = 8;
const int kOffChunkStripeLen = 16;
const int kOffChunkType = 24;
const int kOffChunkNumStripes = 44;
const int kOffChunkSubStripes = 46;
const int kStripeSize = 32;
const int kOffStripeDevId = 0;
const int kOffStripeOffset = 8;
const int kOffStripeUuid = 16;

// Block-group and chunk types.
const uint64_t kGroupData = 1ull << 0;
const uint64_t kGroupSystem = 1ull << 1;
const uint64_t kGroupMetadata = 1ull << 2;
const uint64_t kGroupRaid0 = 1ull << 3;
const uint64_t kGroupRaid1 = 1ull << 4;
const uint64_t kGroupDup = 1ull << 5;
const uint64_t kGroupRaid10 = 1ull << 6;
const uint64_t kGroupRaid5 = 1ull << 7;
const uint64_t kGroupRaid6 = 1ull << 8;
const uint64_t kGroupRaid1c3 = 1ull << 9;
const uint64_t kGroupRaid1c4 = 1ull << 10;
const uint64_t kGroupTypeMask = kGroupData | kGroupSystem | kGroupMetadata;
const uint64_t kGroupProfileMask = kGroupRaid0 | kGroupRaid1 | kGroupDup | kGroupRaid10 |
                                   kGroupRaid5 | kGroupRaid6 | kGroupRaid1c3 | kGroupRaid1c4;

// Block-group item.
const int kBlockGroupItemSize = 24;
const int kOffBgUsed = 0;
const int kOffBgFlags = 16;

// Dev extent.
const int kDevExtentSize = 48;
const int kOffDevExtentChunkOffset = 16;
const int kOffDevExtentLength = 24;

// Free-space info.
const int kFreeSpaceInfoSize = 8;
const int kOffFsiExtentCount = 0;
const int kOffFsiFlags = 4;
const uint32_t kFreeSpaceUsingBitmaps = 1;

// File extent item (EXTENT_DATA).
const int kOffFileExtentType = 20;
const int kOffFileExtentDiskBytenr = 21;
const int kOffFileExtentDiskNumBytes = 29;
const int kFileExtentRegularSize = 53;
const uint8_t kFileExtentInline = 0;
const uint8_t kFileExtentRegular = 1;
const uint8_t kFileExtentPrealloc = 2;

}  // namespace btrfs
}  // namespace fsbmp

#endif
