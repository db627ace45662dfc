#include "core/blake2b.h"

#include <cstring>

#include "core/coding.h"

namespace fsbmp {

namespace {

constexpr uint64_t kIv[8] = {0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull, 0x3c6ef372fe94f82bull,
                             0xa54ff53a5f1d36f1ull, 0x510e527fade682d1ull, 0x9b05688c2b3e6c1full,
                             0x1f83d9abfb41bd6bull, 0x5be0cd19137e2179ull};

constexpr unsigned char kSigma[12][16] = {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
                                          {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
                                          {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
                                          {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
                                          {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
                                          {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
                                          {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
                                          {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
                                          {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
                                          {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
                                          {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
                                          {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3}};

inline uint64_t rotr(uint64_t v, int bits) {
  return v >> bits | v << (64 - bits);
}

inline void mix(uint64_t v[16], int a, int b, int c, int d, uint64_t x, uint64_t y) {
  v[a] = v[a] + v[b] + x;
  v[d] = rotr(v[d] ^ v[a], 32);
  v[c] = v[c] + v[d];
  v[b] = rotr(v[b] ^ v[c], 24);
  v[a] = v[a] + v[b] + y;
  v[d] = rotr(v[d] ^ v[a], 16);
  v[c] = v[c] + v[d];
  v[b] = rotr(v[b] ^ v[c], 63);
}

// One 128-byte block; counted is the number of message bytes up to and including this block.
void compress(uint64_t h[8], const unsigned char block[128], uint64_t counted, bool last) {
  uint64_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = decodeLE64(block + 8 * i);
  uint64_t v[16];
  for (int i = 0; i < 8; ++i) {
    v[i] = h[i];
    v[i + 8] = kIv[i];
  }
  v[12] ^= counted;  // the counter's high word stays zero: no buffer reaches 2^64 bytes
  if (last) v[14] = ~v[14];
  for (const auto& s : kSigma) {
    mix(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
    mix(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
    mix(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
    mix(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
    mix(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
    mix(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
    mix(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
    mix(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
  }
  for (int i = 0; i < 8; ++i) h[i] ^= v[i] ^ v[i + 8];
}

}  // namespace

void blake2b(const void* data, size_t len, uint8_t* out, size_t outLen) {
  if (outLen < 1 || outLen > 64) return;
  uint64_t h[8];
  std::memcpy(h, kIv, sizeof h);
  h[0] ^= 0x01010000ull ^ static_cast<uint64_t>(outLen);  // no key, fanout and depth 1
  const unsigned char* p = static_cast<const unsigned char*>(data);
  size_t left = len;
  uint64_t counted = 0;
  // Every full block but the last goes through as it is; the last (full or not, or empty) is
  // padded with zeros and flagged.
  for (; left > 128; p += 128, left -= 128) {
    counted += 128;
    compress(h, p, counted, false);
  }
  unsigned char last[128] = {};
  if (left) std::memcpy(last, p, left);
  counted += left;
  compress(h, last, counted, true);
  for (size_t i = 0; i < outLen; ++i) out[i] = static_cast<uint8_t>(h[i / 8] >> (8 * (i % 8)));
}

}  // namespace fsbmp
