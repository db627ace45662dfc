#include "core/xxhash64.h"

#include "core/coding.h"

namespace fsbmp {

namespace {

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

inline uint64_t rotl(uint64_t v, int bits) {
  return v << bits | v >> (64 - bits);
}

// One lane's step over eight bytes of input.
inline uint64_t mixLane(uint64_t acc, uint64_t input) {
  acc += input * kPrime2;
  return rotl(acc, 31) * kPrime1;
}

inline uint64_t mergeLane(uint64_t hash, uint64_t lane) {
  hash ^= mixLane(0, lane);
  return hash * kPrime1 + kPrime4;
}

}  // namespace

uint64_t xxh64(const void* data, size_t len, uint64_t seed) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  const unsigned char* const end = p + len;
  uint64_t hash;
  if (len >= 32) {
    uint64_t v1 = seed + kPrime1 + kPrime2;
    uint64_t v2 = seed + kPrime2;
    uint64_t v3 = seed;
    uint64_t v4 = seed - kPrime1;
    for (; end - p >= 32; p += 32) {
      v1 = mixLane(v1, decodeLE64(p));
      v2 = mixLane(v2, decodeLE64(p + 8));
      v3 = mixLane(v3, decodeLE64(p + 16));
      v4 = mixLane(v4, decodeLE64(p + 24));
    }
    hash = rotl(v1, 1) + rotl(v2, 7) + rotl(v3, 12) + rotl(v4, 18);
    hash = mergeLane(hash, v1);
    hash = mergeLane(hash, v2);
    hash = mergeLane(hash, v3);
    hash = mergeLane(hash, v4);
  } else {
    hash = seed + kPrime5;
  }
  hash += static_cast<uint64_t>(len);
  for (; end - p >= 8; p += 8) {
    hash ^= mixLane(0, decodeLE64(p));
    hash = rotl(hash, 27) * kPrime1 + kPrime4;
  }
  if (end - p >= 4) {
    hash ^= static_cast<uint64_t>(decodeLE32(p)) * kPrime1;
    hash = rotl(hash, 23) * kPrime2 + kPrime3;
    p += 4;
  }
  for (; p < end; ++p) {
    hash ^= *p * kPrime5;
    hash = rotl(hash, 11) * kPrime1;
  }
  hash ^= hash >> 33;
  hash *= kPrime2;
  hash ^= hash >> 29;
  hash *= kPrime3;
  hash ^= hash >> 32;
  return hash;
}

}  // namespace fsbmp
