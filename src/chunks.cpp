#include "chunks.h"

#include <cerrno>
#include <cstdint>

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

CVoError checkChunkCount32(const JxCodeLocation& where, uint64_t nChunks, int chunkSize) {
  if (nChunks > UINT32_MAX) {
    return JxErrorUtil::ErrorErrNo(where, EINVAL,
                                   "Chunk size (%d) gives %llu chunks, more than a bitmap can count"
                                   " (4294967295); use a larger chunk size",
                                   chunkSize, static_cast<unsigned long long>(nChunks));
  }
  return CVoError();
}

}  // namespace fsbmp
