#include "fsbmp/services/crc32c.h"

namespace {

// Slicing-by-4 tables for the reflected Castagnoli polynomial, built once. Bytes are fed one
// at a time into the table index, so the result does not depend on the host's byte order.
struct Crc32cTables {
  uint32_t t[4][256];
  Crc32cTables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
      for (int s = 1; s < 4; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  }
};

const Crc32cTables& tables() {
  static const Crc32cTables kTables;
  return kTables;
}

}  // namespace

void mb_crc32c(const void* data, size_t length, uint32_t* crc) {
  const Crc32cTables& tb = tables();
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t c = *crc;
  while (length >= 4) {
    c ^= static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    c = tb.t[3][c & 0xFF] ^ tb.t[2][(c >> 8) & 0xFF] ^ tb.t[1][(c >> 16) & 0xFF] ^ tb.t[0][c >> 24];
    p += 4;
    length -= 4;
  }
  while (length--) c = (c >> 8) ^ tb.t[0][(c ^ *p++) & 0xFF];
  *crc = c;
}
