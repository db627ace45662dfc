// What every getBmp shares: the chunk-size checks, the chunk count and the marking of one chunk.
#ifndef FSBMP_CHUNKS_H
#define FSBMP_CHUNKS_H

#include <cstddef>
#include <cstdint>

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

// Clears the bits of chunks [first, end): a mask for each partial byte at the ends, whole bytes
// (memset, a word at a time) in between.
void clearChunkRange(unsigned char* bitmap, uint64_t first, uint64_t end);
// Sets the bits of chunks [first, end) the same way.
void setChunkRange(unsigned char* bitmap, uint64_t first, uint64_t end);

// The number of set bits in the `bytes` bytes at p, counted a 64-bit word at a time with the
// processor's population count where it has one. Bit order within the bytes does not matter.
uint64_t countOnes(const unsigned char* p, size_t bytes);

// True when all `bytes` bytes at p are zero, tested a 64-bit word at a time.
bool allZero(const unsigned char* p, size_t bytes);

}  // namespace fsbmp

#endif
