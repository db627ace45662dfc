// Inodes as the XFS log carries them, put back as recovery puts them: an inode item's core (in
// the byte order of the host that wrote it) and forks laid over the inode the device holds, and
// the fresh inodes that an inode-create item stands for. Byte buffers in, byte buffers out: the
// replay (fsbmpXFSReplay.cpp) reads and keeps them.
#ifndef FSBMP_FSBMPXFSLOGINODE_H
#define FSBMP_FSBMPXFSLOGINODE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fsbmp {

// What rebuilding inodes needs of the superblock.
struct XfsInodeShape {
  uint32_t inodeSize = 0;
  int inopbLog = 0;    // log2 of inodes per block
  int agBlockLog = 0;  // log2 of the AG's size in blocks, rounded up
  uint32_t agBlocks = 0;
  uint32_t agCount = 0;
  int blockSize = 0;
  bool v3 = false;                  // version 5: version-3 inodes with a CRC and an LSN
  unsigned char metaUuid[16] = {};  // what version-3 inodes name
};

// Where an inode item's inode lies: the buffer (in basic blocks) and its offset in it.
struct XfsInodeItemPlace {
  uint32_t regions = 0;  // regions the item says it has, the format included
  uint32_t fields = 0;   // which parts were logged
  int64_t block = 0;
  int32_t length = 0;
  int32_t offset = 0;
};

// Reads an inode item's format region (64-bit hosts' layout or i386's, four bytes shorter).
// False when it is of neither size.
bool readXfsInodeItemPlace(const std::vector<unsigned char>& format, bool bigEndian,
                           XfsInodeItemPlace* place);

// Lays the item's `regions` (format, core, then the logged forks) over `inode`, as recovery of
// the transaction at `lsn` does: a version-3 inode already as new as the transaction, or a
// version-2 inode flushed more often than the item knows, is left as it is (*applied false).
// The rebuilt inode carries its new CRC. Returns null, or what makes the item impossible.
const char* applyXfsInodeItem(const std::vector<std::vector<unsigned char>>& regions,
                              const XfsInodeItemPlace& place, bool bigEndian, uint64_t lsn,
                              const XfsInodeShape& shape, unsigned char* inode, bool* applied);

// An inode-create item: AG, first block, inodes, inode size, blocks, generation.
struct XfsInodeCreate {
  uint32_t ag = 0;
  uint32_t agBlock = 0;
  uint32_t count = 0;
  uint32_t inodeSize = 0;
  uint32_t blocks = 0;
  uint32_t generation = 0;
};

// Reads an inode-create item's one region (its fields are big-endian on every host). Returns
// null, or what makes it impossible for this file system.
const char* readXfsInodeCreate(const std::vector<unsigned char>& region, const XfsInodeShape& shape,
                               XfsInodeCreate* create);

// Fills `buffer`, the item's `blocks` blocks, with the free inodes it creates.
void initXfsInodes(const XfsInodeCreate& create, const XfsInodeShape& shape, unsigned char* buffer);

}  // namespace fsbmp

#endif
