// Version-5 XFS seals each piece of metadata with a CRC-32C kept inside the piece itself: the
// CRC is taken over the piece with its own 4-byte field read as zeros, and stored little-endian.
#ifndef FSBMP_FSBMPXFSCRC_H
#define FSBMP_FSBMPXFSCRC_H

#include <cstddef>
#include <cstdint>

#include "fsbmp/services/crc32c.h"

namespace fsbmp {
namespace xfs {

// Advances the CRC-32C register `*crc` over `length` bytes whose 4-byte checksum field at
// `crcAt` is read as zeros. A log record goes on over its payload from there.
inline void addSealedCRC(const unsigned char* bytes, size_t length, size_t crcAt, uint32_t* crc) {
  static const unsigned char kZeros[4] = {0, 0, 0, 0};
  mb_crc32c(bytes, crcAt, crc);
  mb_crc32c(kZeros, sizeof kZeros, crc);
  mb_crc32c(bytes + crcAt + 4, length - (crcAt + 4), crc);
}

// The CRC-32C that the field at `crcAt` of a sound `length`-byte piece holds.
inline uint32_t metadataCRC(const unsigned char* bytes, size_t length, size_t crcAt) {
  uint32_t crc = 0xFFFFFFFF;
  addSealedCRC(bytes, length, crcAt, &crc);
  return ~crc;
}

}  // namespace xfs
}  // namespace fsbmp

#endif
