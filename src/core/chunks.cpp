#include "core/chunks.h"

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

// On x86-64 the baseline instruction set has no POPCNT: build a second version that uses it and
// let the loader pick the one the processor runs. Elsewhere the compiler's own choice stands.
// Not under ThreadSanitizer: the loader runs the version picker before the sanitizer's runtime is
// up, and the picker's instrumented entry crashes.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("popcnt", "default")))
#endif
uint64_t
countOnes(const unsigned char* p, size_t bytes) {
  size_t i = 0;
  // 64 bytes all zeros or all ones (most of a map) are counted without a population count.
  // Four independent sums in named variables (an array of them ends up on the stack, each add a
  // round trip through memory) keep the adds from waiting on one another.
  uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  auto add32 = [&](const unsigned char* q) {
    uint64_t w0, w1, w2, w3;
    memcpy(&w0, q, 8);
    memcpy(&w1, q + 8, 8);
    memcpy(&w2, q + 16, 8);
    memcpy(&w3, q + 24, 8);
    s0 += static_cast<uint64_t>(__builtin_popcountll(w0));
    s1 += static_cast<uint64_t>(__builtin_popcountll(w1));
    s2 += static_cast<uint64_t>(__builtin_popcountll(w2));
    s3 += static_cast<uint64_t>(__builtin_popcountll(w3));
  };
  for (; i + 64 <= bytes; i += 64) {
    const BlockFill fill = blockFill(p + i);
    if (fill == BlockFill::kEmpty) continue;
    if (fill == BlockFill::kFull) {
      s0 += 512;
      continue;
    }
    add32(p + i);
    add32(p + i + 32);
  }
  for (; i + 32 <= bytes; i += 32) add32(p + i);
  uint64_t ones = s0 + s1 + s2 + s3;
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
