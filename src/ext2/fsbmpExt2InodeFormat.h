// On-disk layout of ext2/3/4 inodes as the file scan reads them: inode fields, mode types and
// flags, the block map's slots and the extent tree's nodes. Every field is little-endian.
#ifndef FSBMP_FSBMPEXT2INODEFORMAT_H
#define FSBMP_FSBMPEXT2INODEFORMAT_H

#include <cstdint>

#include "core/coding.h"

namespace fsbmp {
namespace ext2 {

// Superblock fields the scan needs beyond the walk's (fsbmpExt2Layout.h).
const uint32_t kRoCompatHugeFile = 0x0008;  // i_blocks may count file-system blocks

// Group descriptor flag: the group's inode table and bitmap were never initialised.
const uint16_t kBgInodeUninit = 0x0001;

// The journal's inode.
const uint32_t kJournalInode = 8;

// The resize inode: its double indirect block lists the reserved descriptor blocks, whose slots
// list their backups. Those are the groups' metadata, counted from the geometry; of the inode's
// own blocks only the double indirect one is its alone (as e2fsck counts it).
const uint32_t kResizeIno = 7;
const int kDoubleIndirectSlot = 13;

// Inode fields.
const int kInoMode = 0x00;         // 16 bits
const int kInoSizeLo = 0x04;       // 32 bits
const int kInoLinksCount = 0x1A;   // 16 bits
const int kInoBlocksLo = 0x1C;     // 32 bits: 512-byte sectors, or blocks under HUGE_FILE_FL
const int kInoFlags = 0x20;        // 32 bits
const int kInoBlock = 0x28;        // 60 bytes: the block map or the extent tree's root
const int kInoFileAclLo = 0x68;    // 32 bits: the extended-attribute block
const int kInoSizeHigh = 0x6C;     // 32 bits
const int kInoBlocksHigh = 0x74;   // 16 bits
const int kInoFileAclHigh = 0x76;  // 16 bits, under 64bit
const int kInoBlockBytes = 60;

// i_mode's file type (the top four bits).
const uint16_t kModeTypeMask = 0xF000;
const uint16_t kModeFifo = 0x1000;
const uint16_t kModeChar = 0x2000;
const uint16_t kModeBlock = 0x6000;
const uint16_t kModeLink = 0xA000;
const uint16_t kModeSocket = 0xC000;

// i_flags.
const uint32_t kFlagHugeFile = 0x00040000;    // i_blocks counts file-system blocks
const uint32_t kFlagExtents = 0x00080000;     // i_block holds an extent tree
const uint32_t kFlagInlineData = 0x10000000;  // the data lies in the inode itself

// The block map: twelve direct slots, then the single, double and triple indirect ones.
const int kDirectSlots = 12;
const int kIndirectSlot = 12;  // then 13 (double) and 14 (triple)
const int kMaxIndirectLevels = 3;

// Extent tree nodes: a 12-byte header, then 12-byte entries (index entries above the leaves).
const uint16_t kExtentMagic = 0xF30A;
const int kEhMagic = 0;    // 16 bits
const int kEhEntries = 2;  // 16 bits
const int kEhMax = 4;      // 16 bits
const int kEhDepth = 6;    // 16 bits
const int kExtentHeaderBytes = 12;
const int kExtentEntryBytes = 12;
const uint32_t kMaxExtentDepth = 5;
// A leaf entry: first logical block, length, physical start (high 16, low 32 bits).
const int kEeLen = 4;      // 16 bits; above kMaxInitExtent, uninitialised of (len - that)
const int kEeStartHi = 6;  // 16 bits
const int kEeStartLo = 8;  // 32 bits
const uint16_t kMaxInitExtent = 32768;
// An index entry: first logical block, then the child node's block (low 32, high 16 bits).
const int kEiLeafLo = 4;  // 32 bits
const int kEiLeafHi = 8;  // 16 bits
const int kEeBlock = 0;   // 32 bits: the first logical block

// A leaf entry decoded: an uninitialised extent (preallocated, unwritten) is allocated all the
// same, its length taken without the flag.
struct ExtentLeaf {
  uint64_t logical;
  uint64_t physical;
  uint32_t length;
};
inline ExtentLeaf decodeExtentLeaf(const unsigned char* e) {
  uint32_t len = decodeLE16(e + kEeLen);
  if (len > kMaxInitExtent) len -= kMaxInitExtent;
  return {decodeLE32(e + kEeBlock),
          static_cast<uint64_t>(decodeLE16(e + kEeStartHi)) << 32 | decodeLE32(e + kEeStartLo),
          len};
}
// The child block an index entry points to.
inline uint64_t decodeExtentChild(const unsigned char* e) {
  return static_cast<uint64_t>(decodeLE16(e + kEiLeafHi)) << 32 | decodeLE32(e + kEiLeafLo);
}

}  // namespace ext2
}  // namespace fsbmp

#endif
