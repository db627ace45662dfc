#include "fsbmp/services/crc32c.h"

#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <nmmintrin.h>
#define FSBMP_CRC32C_SSE42 1
#endif

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

#ifdef FSBMP_CRC32C_SSE42
// SSE4.2's crc32 instruction computes the same Castagnoli CRC, eight bytes at a time; the
// little-endian word load feeds the bytes in their order. Used when the processor has it.
__attribute__((target("sse4.2"))) uint32_t crc32cHardware(const unsigned char* p, size_t length,
                                                          uint32_t c) {
  uint64_t wide = c;
  for (; length >= 8; p += 8, length -= 8) {
    uint64_t w;
    memcpy(&w, p, sizeof w);
    wide = _mm_crc32_u64(wide, w);
  }
  c = static_cast<uint32_t>(wide);
  while (length--) c = _mm_crc32_u8(c, *p++);
  return c;
}

bool haveHardwareCrc32c() {
  static const bool have = __builtin_cpu_supports("sse4.2");
  return have;
}
#endif

}  // namespace

void mb_crc32c(const void* data, size_t length, uint32_t* crc) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
#ifdef FSBMP_CRC32C_SSE42
  if (haveHardwareCrc32c()) {
    *crc = crc32cHardware(p, length, *crc);
    return;
  }
#endif
  const Crc32cTables& tb = tables();
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
