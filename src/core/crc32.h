// CRC-32 over the reflected polynomial 0x04C11DB7 (0xEDB88320 bit-reversed), bit by bit, as GPT
// and LVM2 seal their structures. The seed goes in as it is and the remainder comes out as it
// is: GPT starts from 0xFFFFFFFF and inverts the result, LVM2 starts from its own seed and keeps
// the result. A CRC over pieces feeds each piece the remainder of the one before.
#ifndef FSBMP_CRC32_H
#define FSBMP_CRC32_H

#include <cstddef>
#include <cstdint>

namespace fsbmp {

uint32_t crc32(uint32_t seed, const void* data, size_t length);

}  // namespace fsbmp

#endif
