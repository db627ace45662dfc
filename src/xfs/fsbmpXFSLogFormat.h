// The XFS log's record header, as the head-and-tail search and the replay read it: big-endian on
// every host, 512 bytes, followed (for records of more than 32 KiB) by extended headers of 512.
#ifndef FSBMP_FSBMPXFSLOGFORMAT_H
#define FSBMP_FSBMPXFSLOGFORMAT_H

#include <cstdint>

#include "core/coding.h"

namespace fsbmp {
namespace xlog {

const int kBasicBlock = 512;

const uint32_t kRecordMagic = 0xFEEDBABE;
const int kOffRecMagic = 0;
const int kOffRecCycle = 4;
const int kOffRecVersion = 8;
const int kOffRecLength = 12;  // payload bytes
const int kOffRecLsn = 16;
const int kOffRecTailLsn = 24;
const int kOffRecCrc = 32;  // little-endian
const int kOffRecOps = 40;
const int kOffRecCycleData = 44;
const int kOffRecFormat = 300;
const int kOffRecUuid = 304;
const int kOffRecSize = 320;  // in-core buffer size, version 2
const uint32_t kVersion2 = 2;
// One header sector's cycle data covers this much payload; bigger records carry extra headers.
const uint32_t kHeaderCycleSize = 32768;
const uint32_t kMaxRecordSize = 256 * 1024;

// Operation header: tid 0, length 4, client 8, flags 9.
const int kOpHeader = 12;
const int kOffOpFlags = 9;
const unsigned kOpStart = 0x01;
const unsigned kOpCommit = 0x02;
const unsigned kOpContinue = 0x04;
const unsigned kOpWasContinued = 0x08;
const unsigned kOpEnd = 0x10;
const unsigned kOpUnmount = 0x20;

// Header basic blocks of the record whose first header is `h`: one, or one per 32 KiB of
// payload with version-2 records bigger than that.
inline int64_t headerBlocksOf(const unsigned char* h) {
  const uint32_t size = decodeBE32(h + kOffRecSize);
  if ((decodeBE32(h + kOffRecVersion) & kVersion2) && size > kHeaderCycleSize)
    return (static_cast<int64_t>(size) + kHeaderCycleSize - 1) / kHeaderCycleSize;
  return 1;
}

inline int64_t basicBlocksOf(uint32_t bytes) {
  return (static_cast<int64_t>(bytes) + kBasicBlock - 1) / kBasicBlock;
}

}  // namespace xlog
}  // namespace fsbmp

#endif
