// CRC-16 with the reflected polynomial 0xA001 (x^16 + x^15 + x^2 + 1), as ext4 checksums its
// group descriptors under uninit_bg. No inversion is applied: callers seed the register.
#ifndef FSBMP_CRC16_H
#define FSBMP_CRC16_H

#include <cstddef>
#include <cstdint>

namespace fsbmp {

// Advances `crc` over `length` bytes and returns it. Bytes are fed one at a time, so the result
// does not depend on the host's byte order.
uint16_t crc16(uint16_t crc, const void* data, size_t length);

}  // namespace fsbmp

#endif
