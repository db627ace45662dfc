// What every getBmp shares: the chunk-size checks, the chunk count and the marking of one chunk.
#ifndef FSBMP_CHUNKS_H
#define FSBMP_CHUNKS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fsbmp/services/error.h"

namespace fsbmp {

// Refuses a chunk size that is not a positive power of two or not a whole multiple of the
// block size (errno 22). `where` is the calling getBmp, which the error names.
CVoError checkChunkSize(const JxCodeLocation& where, int chunkSize, int blockSize);

// The number of chunks a bitmap covers: enough for every file-system block and every device
// byte, whichever needs more.
uint64_t chunkCount(long long blockCount, long long blocksPerChunk, long long devSize,
                    int chunkSize);

// The most chunks a bitmap can have where the count is 64-bit: the bitmap's byte size stays a
// signed 64-bit number.
const uint64_t kMaxChunks = static_cast<uint64_t>(INT64_MAX) - 7;

// Refuses a chunk count above `most`, the limit of the walk's counters (errno 22).
CVoError checkChunkCount(const JxCodeLocation& where, uint64_t nChunks, int chunkSize,
                         uint64_t most);

// Sets the bit of chunk c: bit c mod 8 of byte c / 8, least significant bit first.
inline void markChunk(unsigned char* bitmap, uint64_t c) {
  bitmap[c >> 3] |= static_cast<unsigned char>(1u << (c & 7));
}

inline void clearChunk(unsigned char* bitmap, uint64_t c) {
  bitmap[c >> 3] &= static_cast<unsigned char>(~(1u << (c & 7)));
}

// Sets (value 0xFF) or clears (value 0) the bits of chunks [first, end): a mask for each partial
// byte at the ends, whole bytes (memset, a word at a time) in between. Inline: the XFS walk calls
// it once per free extent, mostly for runs of a few chunks.
inline void fillChunkRange(unsigned char* bitmap, uint64_t first, uint64_t end,
                           unsigned char value) {
  if (first >= end) return;
  const uint64_t firstByte = first >> 3;
  const uint64_t lastByte = (end - 1) >> 3;
  // Bits first & 7 .. 7 of the first byte, bits 0 .. (end - 1) & 7 of the last.
  const unsigned headMask = 0xFFu << (first & 7);
  const unsigned tailMask = 0xFFu >> (7 - ((end - 1) & 7));
  auto apply = [&](uint64_t byte, unsigned mask) {
    bitmap[byte] = static_cast<unsigned char>((bitmap[byte] & ~mask) | (value & mask));
  };
  if (firstByte == lastByte) {
    apply(firstByte, headMask & tailMask);
    return;
  }
  apply(firstByte, headMask);
  if (lastByte > firstByte + 1)
    memset(bitmap + firstByte + 1, value, static_cast<size_t>(lastByte - firstByte - 1));
  apply(lastByte, tailMask);
}

// Clears the bits of chunks [first, end).
inline void clearChunkRange(unsigned char* bitmap, uint64_t first, uint64_t end) {
  fillChunkRange(bitmap, first, end, 0);
}
// Sets the bits of chunks [first, end).
inline void setChunkRange(unsigned char* bitmap, uint64_t first, uint64_t end) {
  fillChunkRange(bitmap, first, end, 0xFF);
}

// Whether 64 bytes are all zeros, all ones or neither. Free and used space come in long
// stretches, so the maps' walks and counts test 64 bytes at once before they look at words.
enum class BlockFill { kEmpty, kFull, kMixed };

// Two words at a time in GCC's generic vectors: one SSE2 register each on x86-64, pairs of
// ordinary registers where the target has no vector unit.
typedef uint64_t WordPair __attribute__((vector_size(16)));

inline BlockFill blockFill(const unsigned char* p) {
  // Four named loads: an array of them ends up stored to the stack and read back.
  WordPair v0, v1, v2, v3;
  memcpy(&v0, p, sizeof v0);
  memcpy(&v1, p + 16, sizeof v1);
  memcpy(&v2, p + 32, sizeof v2);
  memcpy(&v3, p + 48, sizeof v3);
  const WordPair any = (v0 | v1) | (v2 | v3);
  const WordPair all = (v0 & v1) & (v2 & v3);
  if ((any[0] | any[1]) == 0) return BlockFill::kEmpty;
  return (all[0] & all[1]) == ~0ull ? BlockFill::kFull : BlockFill::kMixed;
}

// The number of set bits in the `bytes` bytes at p, counted a 64-bit word at a time with the
// processor's population count where it has one. Bit order within the bytes does not matter.
uint64_t countOnes(const unsigned char* p, size_t bytes);

// True when all `bytes` bytes at p are zero, tested a 64-bit word at a time.
bool allZero(const unsigned char* p, size_t bytes);

}  // namespace fsbmp

#endif
