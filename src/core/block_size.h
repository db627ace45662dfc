// The block sizes the parsers accept: what every supported file system can have, and what the
// walks' arithmetic (a block fits a 32-bit read, a bitmap block's bits fit 32-bit counters) holds.
#ifndef FSBMP_BLOCK_SIZE_H
#define FSBMP_BLOCK_SIZE_H

namespace fsbmp {

const int kMinBlockSize = 512;
const int kMaxBlockSize = 65536;

// True for a power of two from kMinBlockSize to kMaxBlockSize.
inline bool isUsableBlockSize(long long size) {
  return size >= kMinBlockSize && size <= kMaxBlockSize && (size & (size - 1)) == 0;
}

}  // namespace fsbmp

#endif
