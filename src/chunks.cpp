#include "chunks.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "fsbmp/fsbmp.h"

namespace fsbmp {

CVoError checkChunkSize(const JxCodeLocation& where, int chunkSize, int blockSize) {
  if (chunkSize <= 0 || FsParser::log2(chunkSize) < 0)
    return JxErrorUtil::ErrorErrNo(where, EINVAL, "Chunk size (%d) must be a power of 2",
                                   chunkSize);
  if (blockSize <= 0 || chunkSize % blockSize != 0) {
    return JxErrorUtil::ErrorErrNo(where, EINVAL,
                                   "Chunk size (%d) must be a multiple of FS block size (%d)",
                                   chunkSize, blockSize);
  }
  return CVoError();
}

uint64_t chunkCount(long long blockCount, long long blocksPerChunk, long long devSize,
                    int chunkSize) {
  uint64_t fsChunks =
      blockCount > 0
          ? (static_cast<uint64_t>(blockCount) + static_cast<uint64_t>(blocksPerChunk) - 1) /
                static_cast<uint64_t>(blocksPerChunk)
          : 0;
  uint64_t devChunks = devSize > 0 ? static_cast<uint64_t>(devSize - 1) / chunkSize + 1 : 1;
  return fsChunks > devChunks ? fsChunks : devChunks;
}

CVoError checkChunkCount(const JxCodeLocation& where, uint64_t nChunks, int chunkSize,
                         uint64_t most) {
  if (nChunks > most) {
    return JxErrorUtil::ErrorErrNo(where, EINVAL,
                                   "Chunk size (%d) gives %llu chunks, more than a bitmap can count"
                                   " (%llu); use a larger chunk size",
                                   chunkSize, static_cast<unsigned long long>(nChunks),
                                   static_cast<unsigned long long>(most));
  }
  return CVoError();
}

namespace {

// Sets (value 0xFF) or clears (value 0) the bits of chunks [first, end): a mask for each partial
// byte at the ends, whole bytes (memset, a word at a time) in between.
void fillChunkRange(unsigned char* bitmap, uint64_t first, uint64_t end, unsigned char value) {
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

}  // namespace

void clearChunkRange(unsigned char* bitmap, uint64_t first, uint64_t end) {
  fillChunkRange(bitmap, first, end, 0);
}

void setChunkRange(unsigned char* bitmap, uint64_t first, uint64_t end) {
  fillChunkRange(bitmap, first, end, 0xFF);
}

// On x86-64 the baseline instruction set has no POPCNT: build a second version that uses it and
// let the loader pick the one the processor runs. Elsewhere the compiler's own choice stands.
// Not under ThreadSanitizer: the loader runs the version picker before the sanitizer's runtime is
// up, and the picker's instrumented entry crashes.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("popcnt", "default")))
#endif
uint64_t
countOnes(const unsigned char* p, size_t bytes) {
  uint64_t ones = 0;
  size_t i = 0;
  // Four independent sums keep the adds from waiting on one another.
  uint64_t sums[4] = {0, 0, 0, 0};
  for (; i + 32 <= bytes; i += 32) {
    uint64_t w[4];
    memcpy(w, p + i, sizeof w);
    for (int k = 0; k < 4; ++k) sums[k] += static_cast<uint64_t>(__builtin_popcountll(w[k]));
  }
  ones = sums[0] + sums[1] + sums[2] + sums[3];
  for (; i + 8 <= bytes; i += 8) {
    uint64_t w;
    memcpy(&w, p + i, sizeof w);
    ones += static_cast<uint64_t>(__builtin_popcountll(w));
  }
  for (; i < bytes; ++i) ones += static_cast<uint64_t>(__builtin_popcount(p[i]));
  return ones;
}

bool allZero(const unsigned char* p, size_t bytes) {
  size_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    uint64_t w;
    memcpy(&w, p + i, sizeof w);
    if (w != 0) return false;
  }
  for (; i < bytes; ++i)
    if (p[i] != 0) return false;
  return true;
}

}  // namespace fsbmp
