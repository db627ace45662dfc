// Fixed-width decoding of on-disk fields, by byte order, independent of the host's own.
#ifndef FSBMP_CODING_H
#define FSBMP_CODING_H

#include <cstdint>

namespace fsbmp {

inline uint16_t decodeLE16(const void* at) {
  const unsigned char* p = static_cast<const unsigned char*>(at);
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t decodeLE32(const void* at) {
  const unsigned char* p = static_cast<const unsigned char*>(at);
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t decodeLE64(const void* at) {
  const unsigned char* p = static_cast<const unsigned char*>(at);
  return static_cast<uint64_t>(decodeLE32(p)) | static_cast<uint64_t>(decodeLE32(p + 4)) << 32;
}
inline uint16_t decodeBE16(const void* at) {
  const unsigned char* p = static_cast<const unsigned char*>(at);
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t decodeBE32(const void* at) {
  const unsigned char* p = static_cast<const unsigned char*>(at);
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}
inline uint64_t decodeBE64(const void* at) {
  const unsigned char* p = static_cast<const unsigned char*>(at);
  return static_cast<uint64_t>(decodeBE32(p)) << 32 | static_cast<uint64_t>(decodeBE32(p + 4));
}

inline void encodeBE32(void* at, uint32_t v) {
  unsigned char* p = static_cast<unsigned char*>(at);
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

inline void encodeBE16(void* at, uint16_t v) {
  unsigned char* p = static_cast<unsigned char*>(at);
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

inline void encodeBE64(void* at, uint64_t v) {
  unsigned char* p = static_cast<unsigned char*>(at);
  encodeBE32(p, static_cast<uint32_t>(v >> 32));
  encodeBE32(p + 4, static_cast<uint32_t>(v));
}

inline void encodeLE32(void* at, uint32_t v) {
  unsigned char* p = static_cast<unsigned char*>(at);
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

}  // namespace fsbmp

#endif
