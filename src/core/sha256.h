// SHA-256 (FIPS 180-4) of a buffer: btrfs made with --csum sha256 seals its tree blocks and
// superblocks with the full 32-byte digest.
#ifndef FSBMP_SHA256_H
#define FSBMP_SHA256_H

#include <cstddef>
#include <cstdint>

namespace fsbmp {

void sha256(const void* data, size_t len, uint8_t out[32]);

}  // namespace fsbmp

#endif
