// XXH64, the 64-bit xxHash, over a buffer with a seed: btrfs seals its tree blocks and
// superblocks with it (seed 0, the digest stored little-endian) when made with --csum xxhash.
#ifndef FSBMP_XXHASH64_H
#define FSBMP_XXHASH64_H

#include <cstddef>
#include <cstdint>

namespace fsbmp {

uint64_t xxh64(const void* data, size_t len, uint64_t seed);

}  // namespace fsbmp

#endif
