// BLAKE2b (RFC 7693), unkeyed, with a digest of 1 to 64 bytes: btrfs made with --csum blake2
// seals its tree blocks and superblocks with the 32-byte digest (BLAKE2b-256).
#ifndef FSBMP_BLAKE2B_H
#define FSBMP_BLAKE2B_H

#include <cstddef>
#include <cstdint>

namespace fsbmp {

// outLen outside 1..64 leaves out untouched.
void blake2b(const void* data, size_t len, uint8_t* out, size_t outLen);

}  // namespace fsbmp

#endif
