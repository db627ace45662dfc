// ReiserFS's on-disk layout as the parser reads it: the superblock at byte 65536, whatever the
// block size, and the journal's header, description and commit blocks. Every field is
// little-endian.
#ifndef FSBMP_FSBMPREISERFSLAYOUT_H
#define FSBMP_FSBMPREISERFSLAYOUT_H

#include <cstdint>

namespace fsbmp {
namespace reiserfs {

// The superblock, read as the 4096-byte block that holds it. The first bitmap block follows it.
const int kSuperblockOffset = 65536;
const int kSuperblockBlock = 16;  // in 4096-byte blocks
const int kSuperblockRead = 4096;
const int kOffBlockCount = 0;
const int kOffFreeCount = 4;
const int kOffJournalFirstBlock = 12;
const int kOffJournalDevice = 16;  // 0: the journal is on this device
const int kOffJournalSize = 20;    // journal blocks, the header block not counted
const int kOffBlockSize = 44;      // 16 bits
const int kOffState = 50;          // 16 bits
const int kOffMagic = 52;
const int kOffBitmaps = 70;  // 16 bits
const int kOffVersion = 72;  // 16 bits
const int kOffInodeGeneration = 76;
const char kMagic[10] = {'R', 'e', 'I', 's', 'E', 'r', '2', 'F', 's', '\0'};
const uint16_t kStateValid = 1;

// Journal header, in the block after the journal.
const int kOffHeaderLastFlushed = 0;
const int kOffHeaderFirstUnflushed = 4;  // journal block of the oldest transaction not written back
const int kOffHeaderMountId = 8;

// Description block, which opens a transaction: its commit block follows its `length` logged
// blocks and repeats its id and length. The description block names where the first logged blocks
// belong, between its header and its magic; the commit block names where the rest belong.
const int kOffTransId = 0;
const int kOffTransLength = 4;
const int kOffDescMountId = 8;
const int kOffDescHomes = 12;
const int kDescMagicFromEnd = 12;
const char kDescMagic[8] = {'R', 'e', 'I', 's', 'E', 'r', 'L', 'B'};
const int kOffCommitHomes = 8;

// How many logged blocks a description block, and a commit block, names the homes of.
inline uint32_t descHomes(int blockSize) {
  return static_cast<uint32_t>(blockSize - kOffDescHomes - kDescMagicFromEnd) / 4;
}
inline uint32_t commitHomes(int blockSize) {
  return static_cast<uint32_t>(blockSize - kOffCommitHomes) / 4;
}

}  // namespace reiserfs
}  // namespace fsbmp

#endif
