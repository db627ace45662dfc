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
// The register after a further n zero bytes, as a product: in the reflected representation bit 31
// is the coefficient of x^0, and feeding n zero bytes multiplies the register by x^(8n) modulo the
// polynomial.
uint32_t multiplyModP(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (int i = 0; i < 32; ++i, a <<= 1) {
    if (a & 0x80000000u) product ^= b;
    b = (b & 1) ? (b >> 1) ^ 0x82F63B78u : b >> 1;
  }
  return product;
}

// x^(8n) modulo the polynomial, by squaring: x^(2^k) for every bit k of 8n.
uint32_t xPowerOfBytes(uint64_t n) {
  uint32_t power = 0x40000000u;   // x^1
  uint32_t result = 0x80000000u;  // x^0
  for (uint64_t bits = n * 8; bits; bits >>= 1) {
    if (bits & 1) result = multiplyModP(result, power);
    power = multiplyModP(power, power);
  }
  return result;
}

__attribute__((target("sse4.2"))) uint32_t crc32cWords(const unsigned char* p, size_t length,
                                                       uint64_t c) {
  for (; length >= 8; p += 8, length -= 8) {
    uint64_t w;
    memcpy(&w, p, sizeof w);
    c = _mm_crc32_u64(c, w);
  }
  return static_cast<uint32_t>(c);
}

// SSE4.2's crc32 instruction computes the same Castagnoli CRC, eight bytes at a time; the
// little-endian word load feeds the bytes in their order. Each instruction waits for the one
// before it, so a long buffer is taken as three streams at once, whose registers are then
// combined: crc(A B) = crc(A) * x^(8|B|) + crc0(B), crc0 starting from a zero register.
__attribute__((target("sse4.2"))) uint32_t crc32cHardware(const unsigned char* p, size_t length,
                                                          uint32_t c) {
  const size_t kThreeWayFrom = 768;
  if (length >= kThreeWayFrom) {
    const size_t lane = length / 3 & ~static_cast<size_t>(7);
    // Multiplying by x^(8 * lane) is linear in the register's 32 bits: four tables, one per
    // byte, made once for the lane's length, which a caller's block size fixes.
    thread_local size_t tableLane = 0;
    thread_local uint32_t shiftTable[4][256];
    if (lane != tableLane) {
      const uint32_t power = xPowerOfBytes(lane);
      for (int k = 0; k < 4; ++k)
        for (uint32_t v = 0; v < 256; ++v) shiftTable[k][v] = multiplyModP(v << (8 * k), power);
      tableLane = lane;
    }
    auto shift = [](uint64_t r) {
      return shiftTable[0][r & 0xFF] ^ shiftTable[1][(r >> 8) & 0xFF] ^
             shiftTable[2][(r >> 16) & 0xFF] ^ shiftTable[3][(r >> 24) & 0xFF];
    };
    uint64_t a = c, b = 0, d = 0;
    const unsigned char* pb = p + lane;
    const unsigned char* pd = p + 2 * lane;
    for (size_t i = 0; i < lane; i += 8) {
      uint64_t wa, wb, wd;
      memcpy(&wa, p + i, sizeof wa);
      memcpy(&wb, pb + i, sizeof wb);
      memcpy(&wd, pd + i, sizeof wd);
      a = _mm_crc32_u64(a, wa);
      b = _mm_crc32_u64(b, wb);
      d = _mm_crc32_u64(d, wd);
    }
    c = shift(shift(a) ^ static_cast<uint32_t>(b)) ^ static_cast<uint32_t>(d);
    p += 3 * lane;
    length -= 3 * lane;
  }
  c = crc32cWords(p, length, c);
  p += length & ~static_cast<size_t>(7);
  length &= 7;
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
