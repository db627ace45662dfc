#include "fsbmp/services/crc32c.h"

#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
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

// x^n modulo the polynomial, by squaring: x^(2^k) for every bit k of n.
uint32_t xPower(uint64_t n) {
  uint32_t power = 0x40000000u;   // x^1
  uint32_t result = 0x80000000u;  // x^0
  for (uint64_t bits = n; bits; bits >>= 1) {
    if (bits & 1) result = multiplyModP(result, power);
    power = multiplyModP(power, power);
  }
  return result;
}

uint32_t xPowerOfBytes(uint64_t n) {
  return xPower(n * 8);
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

// Folding with carry-less multiplication (AVX-512 VPCLMULQDQ: four 128-bit products per
// instruction), for long buffers: several times the crc32 instruction's eight bytes a cycle.
//
// A 16-byte block loaded little-endian is, bit j for x^(127 - j), the message polynomial of those
// bytes; its low 64 bits are the high-degree half L, its high 64 bits the low half H. Moving the
// block D bytes further on multiplies it by x^(8D): L * x^(8D + 64) + H * x^(8D), each factor
// reduced modulo the polynomial to 32 bits, gives a product of at most 96 bits that is XORed into
// the block found there. The product of two such 64-bit halves lands one bit short (bit m of the
// product is x^(126 - m)), so each constant is x^(e - 1) for the wanted x^e, its 32 bits in the
// high half of a 64-bit lane. What is left at the end, 16 bytes and a tail, goes through crc32.
const size_t kFoldFrom = 256;

uint64_t foldFactor(uint64_t bitsOn) {
  return static_cast<uint64_t>(xPower(bitsOn - 1)) << 32;
}

struct FoldConstants {
  __m128i by16, by32, by48, by64, by256;  // low lane: x^(8D + 64); high lane: x^(8D)
  FoldConstants() {
    auto pair = [](uint64_t d) {
      return _mm_set_epi64x(static_cast<long long>(foldFactor(8 * d)),
                            static_cast<long long>(foldFactor(8 * d + 64)));
    };
    by16 = pair(16);
    by32 = pair(32);
    by48 = pair(48);
    by64 = pair(64);
    by256 = pair(256);
  }
};

const FoldConstants& foldConstants() {
  static const FoldConstants kConstants;
  return kConstants;
}

bool haveFoldingCrc32c() {
  static const bool have = __builtin_cpu_supports("avx512f") &&
                           __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("sse4.2");
  return have;
}

#define FSBMP_FOLD_TARGET __attribute__((target("avx512f,vpclmulqdq,pclmul,sse4.2")))

FSBMP_FOLD_TARGET inline __m512i fold512(__m512i a, __m512i k, __m512i next) {
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(a, k, 0x00),
                                   _mm512_clmulepi64_epi128(a, k, 0x11), next, 0x96);
}

FSBMP_FOLD_TARGET inline __m128i fold128(__m128i a, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x00), _mm_clmulepi64_si128(a, k, 0x11));
}

// length >= kFoldFrom.
FSBMP_FOLD_TARGET uint32_t crc32cFolding(const unsigned char* p, size_t length, uint32_t c) {
  const FoldConstants& k = foldConstants();
  // A register c before the message is the message with c XORed into its first four bytes.
  __m512i a0 = _mm512_xor_si512(
      _mm512_loadu_si512(p),
      _mm512_inserti32x4(_mm512_setzero_si512(), _mm_cvtsi32_si128(static_cast<int>(c)), 0));
  __m512i a1 = _mm512_loadu_si512(p + 64);
  __m512i a2 = _mm512_loadu_si512(p + 128);
  __m512i a3 = _mm512_loadu_si512(p + 192);
  p += 256;
  length -= 256;
  const __m512i by256 = _mm512_maskz_broadcast_i32x4(0xFFFF, k.by256);
  for (; length >= 256; p += 256, length -= 256) {
    a0 = fold512(a0, by256, _mm512_loadu_si512(p));
    a1 = fold512(a1, by256, _mm512_loadu_si512(p + 64));
    a2 = fold512(a2, by256, _mm512_loadu_si512(p + 128));
    a3 = fold512(a3, by256, _mm512_loadu_si512(p + 192));
  }
  const __m512i by64 = _mm512_maskz_broadcast_i32x4(0xFFFF, k.by64);
  a3 = fold512(fold512(fold512(a0, by64, a1), by64, a2), by64, a3);
  for (; length >= 64; p += 64, length -= 64) a3 = fold512(a3, by64, _mm512_loadu_si512(p));
  // The four lanes onto the last: 48, 32 and 16 bytes before it.
  __m128i x =
      _mm_xor_si128(_mm_xor_si128(fold128(_mm512_maskz_extracti32x4_epi32(0xF, a3, 0), k.by48),
                                  fold128(_mm512_maskz_extracti32x4_epi32(0xF, a3, 1), k.by32)),
                    _mm_xor_si128(fold128(_mm512_maskz_extracti32x4_epi32(0xF, a3, 2), k.by16),
                                  _mm512_maskz_extracti32x4_epi32(0xF, a3, 3)));
  for (; length >= 16; p += 16, length -= 16)
    x = _mm_xor_si128(fold128(x, k.by16), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  // The message is now these 16 bytes and the tail, from a zero register.
  uint64_t r = _mm_crc32_u64(0, static_cast<uint64_t>(_mm_cvtsi128_si64(x)));
  r = _mm_crc32_u64(r, static_cast<uint64_t>(_mm_extract_epi64(x, 1)));
  uint32_t out = static_cast<uint32_t>(r);
  for (; length > 0; --length) out = _mm_crc32_u8(out, *p++);
  return out;
}
#endif

}  // namespace

void mb_crc32c(const void* data, size_t length, uint32_t* crc) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
#ifdef FSBMP_CRC32C_SSE42
  if (length >= kFoldFrom && haveFoldingCrc32c()) {
    *crc = crc32cFolding(p, length, *crc);
    return;
  }
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
