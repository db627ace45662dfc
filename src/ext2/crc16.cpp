#include "ext2/crc16.h"

namespace fsbmp {

namespace {

struct Crc16Table {
  uint16_t t[256];
  Crc16Table() {
    for (unsigned i = 0; i < 256; ++i) {
      unsigned c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xA001u : c >> 1;
      t[i] = static_cast<uint16_t>(c);
    }
  }
};

}  // namespace

uint16_t crc16(uint16_t crc, const void* data, size_t length) {
  static const Crc16Table kTable;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < length; ++i)
    crc = static_cast<uint16_t>((crc >> 8) ^ kTable.t[(crc ^ p[i]) & 0xFF]);
  return crc;
}

}  // namespace fsbmp
