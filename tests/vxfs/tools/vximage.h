// Images for the fsdb test double: a small VxFS-like layout that the stand-in fsdb reads and
// that tests build from a description. All multi-byte fields are little-endian, written and read
// byte by byte, so a big-endian test program and the host-built stand-in agree.
//
// Layout (block size B, block count N):
//   byte 8192          superblock: magic a5 01 fc f5, then the fields below
//   block ilistStart   structural fileset's inode list, kInodeBytes per inode
//   IFEAU file         2 bits per allocation unit, most significant pair first; the first bit
//                      of a pair is set when the unit is wholly free
//   IFEMP file         one 512-byte record per 2048-block group; its first 256 bytes map the
//                      group's blocks, most significant bit first, 1 = free
// Files lie in extents (device block, length in blocks) listed in their inode.
#ifndef FSBMP_TESTS_VXIMAGE_H
#define FSBMP_TESTS_VXIMAGE_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace vximage {

const int kSuperblockOffset = 8192;
const int kSuperblockBytes = 1024;
const unsigned char kMagic[4] = {0xa5, 0x01, 0xfc, 0xf5};

// Superblock field offsets, from byte 8192.
const int kSbVersion = 4;      // u32
const int kSbBlockSize = 8;    // u32
const int kSbFlags = 12;       // u32, kFlag*
const int kSbBlockCount = 16;  // u64
const int kSbAuBlocks = 24;    // u32
const int kSbInodes = 28;      // u32, inodes of the structural fileset
const int kSbIlistStart = 32;  // u64, device block of the inode list

const uint32_t kFlagPrintAuBlocks = 1;  // fsdb prints "aublocks"
const uint32_t kFlagPrintNinode = 2;    // fsdb prints "fsf_ninode"

// Inode record: type, extent count, size in bytes, then extents.
const int kInodeBytes = 256;
const int kInoType = 0;         // u32, kType*
const int kInoExtents = 4;      // u32
const int kInoSize = 8;         // u64
const int kInoExtentList = 16;  // kMaxExtents x (u64 start, u32 length, u32 unused)
const int kExtentBytes = 16;
const int kMaxExtents = 15;

enum InodeType { kTypeNone = 0, kTypeIFEAU = 1, kTypeIFEMP = 2, kTypeIFILT = 3, kTypeIFDIR = 4 };

const int kGroupBlocks = 2048;
const int kRecordBytes = 512;
const int kMapBytes = 256;

void putLE32(unsigned char* p, uint32_t v);
void putLE64(unsigned char* p, uint64_t v);
uint32_t getLE32(const unsigned char* p);
uint64_t getLE64(const unsigned char* p);

// What an image holds.
struct Description {
  int blockSize = 1024;
  long long blockCount = 65536;
  int auBlocks = 32768;
  bool printAuBlocks = false;  // when false fsdb prints no "aublocks" (auBlocks must be 32768)
  int version = 7;
  int inodes = 64;  // structural fileset's inode count
  bool printNinode = true;
  int ifeauIno = 34;
  int ifempIno = 35;
  // Used blocks besides the metadata, which the builder adds (blockCount entries, or empty).
  std::vector<bool> used;
  // Units whose IFEAU flag says wholly free; they must hold no used block.
  std::set<int> freeUnits;
  // What the last group's map says of the blocks past the file system's end.
  bool tailUsed = true;
  // Let the maps of units flagged free claim every block used (a reader must skip them).
  bool freeUnitMapsLie = false;
  // Blocks per extent of the IFEAU and IFEMP files; a free block separates extents.
  int extentBlocks = 3;
  // Size of the image file; 0: exactly blockCount blocks.
  long long imageBytes = 0;
};

// The result: every used block (description and metadata) and where the files went.
struct Layout {
  std::vector<bool> used;  // blockCount entries
  long long ilistStart = 0;
  std::vector<std::pair<long long, int>> ifeauExtents;
  std::vector<std::pair<long long, int>> ifempExtents;
  int auCnt = 0;
  long long nGroups = 0;
};

// Writes the image; false with a reason in *error when the description cannot be laid out.
bool build(const std::string& path, const Description& d, Layout* layout, std::string* error);

}  // namespace vximage

#endif
