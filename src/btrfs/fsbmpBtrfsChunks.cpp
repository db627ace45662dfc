// The chunk map: logical space to (device, physical) for every profile, from the superblock's
// system chunks and the chunk tree; and where a logical range's copies and parity lie on this
// device.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "btrfs/fsbmpBtrfsImpl.h"
#include "btrfs/fsbmpBtrfsLayout.h"
#include "core/coding.h"
#include "core/location.h"

using namespace fsbmp::btrfs;
using fsbmp::decodeLE16;
using fsbmp::decodeLE32;
using fsbmp::decodeLE64;

namespace fsbmp {
namespace btrfs {

uint64_t Chunk::parity() const {
  if (type & kGroupRaid5) return 1;
  if (type & kGroupRaid6) return 2;
  return 0;
}

uint64_t Chunk::copies() const {
  if (type & kGroupRaid10) return subStripes;
  if (type & (kGroupRaid0 | kGroupRaid5 | kGroupRaid6)) return 1;
  return stripes.size();  // single, DUP, RAID1, RAID1C3/4: every stripe a whole copy
}

bool Chunk::striped() const {
  return (type & (kGroupRaid0 | kGroupRaid10 | kGroupRaid5 | kGroupRaid6)) != 0;
}

uint64_t Chunk::dataStrips() const {
  if (!striped()) return 1;
  return (stripes.size() - parity()) / copies();
}

uint64_t Chunk::deviceLength() const {
  return length / dataStrips();
}

Key readKey(const unsigned char* at) {
  Key k;
  k.objectid = decodeLE64(at);
  k.type = at[8];
  k.offset = decodeLE64(at + 9);
  return k;
}

int compareKeys(const Key& a, const Key& b) {
  if (a.objectid != b.objectid) return a.objectid < b.objectid ? -1 : 1;
  if (a.type != b.type) return a.type < b.type ? -1 : 1;
  if (a.offset != b.offset) return a.offset < b.offset ? -1 : 1;
  return 0;
}

const char* profileName(uint64_t type) {
  switch (type & kGroupProfileMask) {
    case 0:
      return "single";
    case kGroupDup:
      return "DUP";
    case kGroupRaid0:
      return "RAID0";
    case kGroupRaid1:
      return "RAID1";
    case kGroupRaid10:
      return "RAID10";
    case kGroupRaid5:
      return "RAID5";
    case kGroupRaid6:
      return "RAID6";
    case kGroupRaid1c3:
      return "RAID1C3";
    case kGroupRaid1c4:
      return "RAID1C4";
    default:
      return "mixed";
  }
}

}  // namespace btrfs
}  // namespace fsbmp

namespace {

// The stripes a profile needs: exactly (min == max), or at least min.
bool stripeCountFits(uint64_t profile, uint64_t n, uint16_t sub) {
  switch (profile) {
    case 0:
      return n == 1;
    case kGroupDup:
    case kGroupRaid1:
      return n == 2;
    case kGroupRaid1c3:
      return n == 3;
    case kGroupRaid1c4:
      return n == 4;
    case kGroupRaid0:
      return n >= 1;
    case kGroupRaid10:
      return sub == 2 && n >= 2 && n % 2 == 0;
    case kGroupRaid5:
      return n >= 2;
    case kGroupRaid6:
      return n >= 3;
    default:
      return false;
  }
}

}  // namespace

CVoError FsParserBtrfs::Impl::addChunk(const JxCodeLocation& where, uint64_t logical,
                                       const unsigned char* item, uint32_t size, const char* from,
                                       int errNo) {
  const char* dev = fs.devPath.c_str();
  if (size < static_cast<uint32_t>(kChunkSize))
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), errNo,
                                   "Chunk at %llu of %s (%s) is cut short: %u bytes",
                                   static_cast<unsigned long long>(logical), dev, from, size);
  Chunk c;
  c.start = logical;
  c.length = decodeLE64(item + kOffChunkLength);
  c.stripeLen = decodeLE64(item + kOffChunkStripeLen);
  c.type = decodeLE64(item + kOffChunkType);
  const uint16_t n = decodeLE16(item + kOffChunkNumStripes);
  c.subStripes = decodeLE16(item + kOffChunkSubStripes);
  const uint64_t profile = c.type & kGroupProfileMask;
  const bool onePorfile = (profile & (profile - 1)) == 0;
  if (static_cast<uint64_t>(kChunkSize) + static_cast<uint64_t>(n) * kStripeSize > size || n == 0 ||
      !onePorfile || !stripeCountFits(profile, n, c.subStripes) || (c.type & kGroupTypeMask) == 0 ||
      (c.type & ~(kGroupTypeMask | kGroupProfileMask)) != 0 || c.stripeLen == 0 ||
      (c.stripeLen & (c.stripeLen - 1)) != 0 || c.stripeLen > (1u << 30) || c.length == 0 ||
      c.length % sectorSize != 0 || logical % sectorSize != 0 || c.length > UINT64_MAX - logical) {
    return JxErrorUtil::ErrorErrNo(
        FSBMP_AT(where), errNo,
        "Chunk at %llu of %s (%s) is not sane: length %llu, type 0x%llx, %u stripes of %llu bytes, "
        "%u sub-stripes",
        static_cast<unsigned long long>(logical), dev, from,
        static_cast<unsigned long long>(c.length), static_cast<unsigned long long>(c.type), n,
        static_cast<unsigned long long>(c.stripeLen), c.subStripes);
  }
  c.stripes.resize(n);
  for (uint16_t i = 0; i < n; ++i) {
    const unsigned char* s = item + kChunkSize + static_cast<size_t>(i) * kStripeSize;
    c.stripes[i].devid = decodeLE64(s + kOffStripeDevId);
    c.stripes[i].offset = decodeLE64(s + kOffStripeOffset);
    memcpy(c.stripes[i].uuid, s + kOffStripeUuid, 16);
  }
  if (c.length % c.dataStrips() != 0) {
    return JxErrorUtil::ErrorErrNo(
        FSBMP_AT(where), errNo,
        "Chunk at %llu of %s (%s): length %llu doesn't split over %llu strips",
        static_cast<unsigned long long>(logical), dev, from,
        static_cast<unsigned long long>(c.length), static_cast<unsigned long long>(c.dataStrips()));
  }
  for (const Stripe& s : c.stripes) {
    if (s.offset > UINT64_MAX - c.deviceLength() || s.offset % sectorSize != 0)
      return JxErrorUtil::ErrorErrNo(
          FSBMP_AT(where), errNo, "Chunk at %llu of %s (%s) has a stripe at %llu of device %llu",
          static_cast<unsigned long long>(logical), dev, from,
          static_cast<unsigned long long>(s.offset), static_cast<unsigned long long>(s.devid));
  }
  // The same chunk may come twice (the system array and the chunk tree); different ones must not
  // overlap.
  auto next = chunks.lower_bound(logical);
  if (next != chunks.end() && next->first == logical) {
    const Chunk& old = next->second;
    if (old.length != c.length || old.type != c.type || old.stripes.size() != c.stripes.size())
      return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), errNo,
                                     "Chunk at %llu of %s (%s) differs from the system array's",
                                     static_cast<unsigned long long>(logical), dev, from);
    next->second.stripes = c.stripes;
    next->second.stripeLen = c.stripeLen;
    next->second.subStripes = c.subStripes;
    return CVoError();
  }
  const bool overlapsNext = next != chunks.end() && next->first < logical + c.length;
  const bool overlapsPrev = next != chunks.begin() && [&] {
    auto prev = std::prev(next);
    return prev->first + prev->second.length > logical;
  }();
  if (overlapsNext || overlapsPrev)
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), errNo,
                                   "Chunk at %llu of %s (%s) overlaps another",
                                   static_cast<unsigned long long>(logical), dev, from);
  chunks.emplace(logical, std::move(c));
  return CVoError();
}

CVoError FsParserBtrfs::Impl::readSystemChunks(const JxCodeLocation& where) {
  const uint32_t size = decodeLE32(sb + kOffSbSysChunkSize);
  if (size > static_cast<uint32_t>(kSysChunkArrayMax))
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "btrfs superblock of %s has a %u-byte system chunk array",
                                   fs.devPath.c_str(), size);
  const unsigned char* p = sb + kOffSbSysChunkArray;
  uint32_t at = 0;
  while (at < size) {
    if (size - at < static_cast<uint32_t>(kKeySize + kChunkSize))
      return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                     "btrfs system chunk array of %s ends inside an entry",
                                     fs.devPath.c_str());
    const Key key = readKey(p + at);
    at += kKeySize;
    const uint16_t n = decodeLE16(p + at + kOffChunkNumStripes);
    const uint32_t itemSize = static_cast<uint32_t>(kChunkSize + n * kStripeSize);
    if (key.type != kTypeChunkItem || itemSize > size - at)
      return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                     "btrfs system chunk array of %s holds a bad entry at %u",
                                     fs.devPath.c_str(), at - kKeySize);
    CVoError err = addChunk(where, key.offset, p + at, itemSize, "system chunk array", ENOSYS);
    if (err.code < 0) return err;
    at += itemSize;
  }
  if (chunks.empty())
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "btrfs superblock of %s holds no system chunk",
                                   fs.devPath.c_str());
  return CVoError();
}

Chunk* FsParserBtrfs::Impl::chunkAt(uint64_t logical) {
  auto it = chunks.upper_bound(logical);
  if (it == chunks.begin()) return nullptr;
  --it;
  if (logical - it->first >= it->second.length) return nullptr;
  return &it->second;
}

std::vector<std::pair<const Stripe*, uint64_t>> FsParserBtrfs::Impl::copiesOf(
    const Chunk& c, uint64_t logical, uint64_t length) const {
  std::vector<std::pair<const Stripe*, uint64_t>> out;
  const uint64_t off = logical - c.start;
  if (!c.striped()) {
    for (const Stripe& s : c.stripes) out.emplace_back(&s, s.offset + off);
    return out;
  }
  const uint64_t strip = off / c.stripeLen;
  const uint64_t within = off % c.stripeLen;
  if (within + length > c.stripeLen) return out;  // crosses strips: no tree block does
  const uint64_t nd = c.dataStrips();
  const uint64_t row = strip / nd;
  const uint64_t k = strip % nd;
  const uint64_t n = c.stripes.size();
  if (c.parity() > 0) {
    const Stripe& s = c.stripes[(k + row) % n];
    out.emplace_back(&s, s.offset + row * c.stripeLen + within);
    return out;
  }
  for (uint64_t j = 0; j < c.copies(); ++j) {
    const Stripe& s = c.stripes[k * c.copies() + j];
    out.emplace_back(&s, s.offset + row * c.stripeLen + within);
  }
  return out;
}

void FsParserBtrfs::Impl::forEachLocal(const Chunk& c, uint64_t logical, uint64_t length,
                                       const std::function<void(uint64_t, uint64_t)>& fn) const {
  if (length == 0) return;
  const uint64_t off = logical - c.start;
  if (!c.striped()) {
    for (const Stripe& s : c.stripes)
      if (s.devid == devid) fn(s.offset + off, length);
    return;
  }
  const uint64_t n = c.stripes.size();
  const uint64_t nd = c.dataStrips();
  const uint64_t rowBytes = nd * c.stripeLen;
  const uint64_t end = off + length;
  // Rows wholly inside the range: the same span of every stripe.
  const uint64_t firstWhole = (off + rowBytes - 1) / rowBytes;
  const uint64_t endWhole = end / rowBytes;
  // A part of one row: its data strips' pieces and, for RAID5/6, the row's parity strips whole.
  auto partRow = [&](uint64_t from, uint64_t to) {
    const uint64_t row = from / rowBytes;
    for (uint64_t at = from; at < to;) {
      const uint64_t strip = at / c.stripeLen;
      const uint64_t within = at % c.stripeLen;
      const uint64_t piece = std::min(to - at, c.stripeLen - within);
      const uint64_t k = strip % nd;
      for (uint64_t j = 0; j < c.copies(); ++j) {
        const uint64_t idx = c.parity() > 0 ? (k + row) % n : k * c.copies() + j;
        const Stripe& s = c.stripes[idx];
        if (s.devid == devid) fn(s.offset + row * c.stripeLen + within, piece);
      }
      at += piece;
    }
    for (uint64_t p = 0; p < c.parity(); ++p) {
      const Stripe& s = c.stripes[(nd + p + row) % n];
      if (s.devid == devid) fn(s.offset + row * c.stripeLen, c.stripeLen);
    }
  };
  if (firstWhole >= endWhole) {
    // Within one row, or across the boundary of two.
    const uint64_t rowEnd = (off / rowBytes + 1) * rowBytes;
    partRow(off, std::min(end, rowEnd));
    if (end > rowEnd) partRow(rowEnd, end);
    return;
  }
  if (off < firstWhole * rowBytes) partRow(off, firstWhole * rowBytes);
  for (const Stripe& s : c.stripes)
    if (s.devid == devid)
      fn(s.offset + firstWhole * c.stripeLen, (endWhole - firstWhole) * c.stripeLen);
  if (end > endWhole * rowBytes) partRow(endWhole * rowBytes, end);
}

uint64_t FsParserBtrfs::Impl::superBytes(const Chunk& c) const {
  // Each superblock offset that falls in a stripe of the chunk, on whichever device, maps back
  // to the logical start of its strip; the kernel leaves a strip's worth (at most the 64 KiB it
  // calls a stripe) out of the block group's free space for each distinct one.
  std::vector<uint64_t> logicals;
  const uint64_t kStripeUnit = 0x10000;
  const uint64_t n = c.stripes.size();
  const uint64_t nd = c.dataStrips();
  for (uint64_t i = 0; i < n; ++i) {
    const Stripe& s = c.stripes[i];
    for (uint64_t sbOff : kSuperOffsets) {
      if (sbOff < s.offset || sbOff - s.offset >= c.deviceLength()) continue;
      const uint64_t rel = sbOff - s.offset;
      uint64_t logical;
      if (!c.striped()) {
        logical = c.start + rel;
      } else {
        const uint64_t row = rel / c.stripeLen;
        const uint64_t within = rel % c.stripeLen;
        if (c.parity() > 0) {
          // The kernel maps a RAID5/6 stripe back to the start of its full stripe.
          logical = c.start + row * nd * c.stripeLen;
          (void)within;
        } else {
          const uint64_t k = i / c.copies();
          logical = c.start + (row * nd + k) * c.stripeLen + within;
        }
      }
      if (std::find(logicals.begin(), logicals.end(), logical) == logicals.end())
        logicals.push_back(logical);
    }
  }
  uint64_t bytes = 0;
  const uint64_t unit = c.parity() > 0 ? nd * c.stripeLen : kStripeUnit;
  for (uint64_t l : logicals) bytes += std::min(unit, c.start + c.length - l);
  return bytes;
}
