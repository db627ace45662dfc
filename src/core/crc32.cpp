#include "core/crc32.h"

namespace fsbmp {

uint32_t crc32(uint32_t seed, const void* data, size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t crc = seed;
  for (size_t i = 0; i < length; ++i) {
    crc ^= p[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc;
}

}  // namespace fsbmp
