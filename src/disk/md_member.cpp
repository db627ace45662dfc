// md RAID members: the superblock kinds, the array's layouts and the layer mapping one member.
#include "disk/md_member.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "core/checksums.h"
#include "core/coding.h"
#include "core/device.h"

static const char kFile[] = "md_member";
#define HERE JX_LOCATION(kFile)

namespace fsbmp {

namespace {

const uint32_t kMdMagic = 0xa92b4efc;
const uint32_t kBitmapMagic = 0x6d746962;  // "bitm" little-endian
const int kSuperRead = 4096;
const int64_t kSector = 512;
const int64_t kReserved090 = 64 << 10;
const uint32_t kMaxDev1 = (kSuperRead - 256) / 2;
const int64_t kMaxChunk = int64_t(1) << 30;

// 1.x feature bits.
const uint32_t kFeatureBitmap = 1, kFeatureRecovery = 2, kFeatureReshape = 4;
const uint32_t kFeatureBadBlocks = 8, kFeatureRaid0Layout = 4096;

// 1.x roles beyond the array's slots.
const uint16_t kRoleSpare = 0xffff, kRoleFaulty = 0xfffe, kRoleJournal = 0xfffd;

// 0.90 disk descriptor state bits.
const uint32_t kDiskFaulty = 1, kDiskSync = 4;

CVoError damaged(const char* kind, const char* what) {
  return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "md superblock %s: %s", kind, what);
}

bool overlaps(int64_t a, int64_t aBytes, int64_t b, int64_t bBytes) {
  return aBytes > 0 && bBytes > 0 && a < b + bBytes && b < a + aBytes;
}

bool readWhole(DeviceView* view, int64_t offset, unsigned char* buf, uint32_t size) {
  uint32_t got = 0;
  return view->readAt(offset, buf, size, &got).code >= 0 && got == size;
}

std::string printableName(const unsigned char* p, size_t n) {
  std::string s;
  for (size_t i = 0; i < n && p[i]; ++i)
    s.push_back(p[i] >= 0x20 && p[i] < 0x7f ? char(p[i]) : '?');
  return s;
}

void finishState(int level, bool reshaping, bool resyncing, bool recovering, MdSuper* out) {
  if (reshaping)
    out->state = "reshaping";
  else if (resyncing && level >= 1)
    out->state = "resyncing";
  else if (recovering)
    out->state = "recovering";
  else if (!out->missingRoles.empty())
    out->state = "degraded";
  else
    out->state = "clean";
}

CVoError decode090(const unsigned char* sb, int64_t at, bool bigEndian, MdSuper* out) {
  const char* kind = "0.90";
  auto w = [&](int i) { return bigEndian ? decodeBE32(sb + 4 * i) : decodeLE32(sb + 4 * i); };
  if (w(1) != 0 || (w(2) != 90 && w(2) != 91)) return damaged(kind, "an unknown version");
  uint64_t sum = 0;
  for (int i = 0; i < kSuperRead / 4; ++i) sum += i == 38 ? 0 : w(i);
  const uint32_t csum = static_cast<uint32_t>((sum & 0xffffffffu) + (sum >> 32));
  if (csum != w(38) && kChecksumsRefuse) return damaged(kind, "its checksum does not match");
  out->metadata = kind;
  out->superAt = at;
  out->superBytes = kReserved090;
  const uint32_t words[4] = {w(5), w(13), w(14), w(15)};
  for (int i = 0; i < 4; ++i) encodeBE32(out->uuid + 4 * i, words[i]);
  out->level = static_cast<int32_t>(w(7));
  out->raidDisks = static_cast<int>(w(10));
  if (w(10) < 1 || w(10) > 27) return damaged(kind, "a number of members out of range");
  out->layout = out->level == 0 ? 0 : w(64);  // md never trusts a RAID0 layout 0.90 records
  out->chunk = w(65);
  out->dataOffset = 0;
  out->dataBytes = at;
  const int64_t size = static_cast<int64_t>(w(8)) * 1024;
  if (out->level >= 1 && (size == 0 || size > at))
    return damaged(kind, "a member size past the superblock");
  out->componentBytes = out->level >= 1 ? size : at;
  out->events = bigEndian ? (uint64_t(w(39)) << 32 | w(40)) : (uint64_t(w(40)) << 32 | w(39));
  const uint32_t thisState = w(992 + 4);
  const uint32_t thisRole = w(992 + 3);
  if (thisState & kDiskFaulty)
    out->role = MdSuper::kFaulty;
  else if ((thisState & kDiskSync) && thisRole < w(10))
    out->role = static_cast<int>(thisRole);
  else
    out->role = MdSuper::kSpare;
  for (int r = 0; r < out->raidDisks; ++r) {
    bool held = false;
    for (int d = 0; d < 27 && !held; ++d) {
      const int base = 128 + 32 * d;
      held = w(base + 3) == static_cast<uint32_t>(r) && (w(base + 4) & kDiskSync) &&
             !(w(base + 4) & kDiskFaulty);
    }
    if (!held) out->missingRoles.push_back(r);
  }
  finishState(out->level, w(2) == 91, !(w(33) & 1), false, out);
  return CVoError();
}

CVoError decode1(const unsigned char* sb, int64_t at, int64_t deviceBytes, const char* kind,
                 MdSuper* out) {
  if (decodeLE32(sb + 4) != 1) return damaged(kind, "an unknown major version");
  const uint32_t maxDev = decodeLE32(sb + 220);
  if (maxDev > kMaxDev1) return damaged(kind, "more device slots than a superblock holds");
  const size_t bytes = 256 + 2 * static_cast<size_t>(maxDev);
  uint64_t sum = 0;
  size_t i = 0;
  for (; i + 4 <= bytes; i += 4) sum += i == 216 ? 0 : decodeLE32(sb + i);
  if (i < bytes) sum += decodeLE16(sb + i);
  const uint32_t csum = static_cast<uint32_t>((sum & 0xffffffffu) + (sum >> 32));
  if (csum != decodeLE32(sb + 216) && kChecksumsRefuse)
    return damaged(kind, "its checksum does not match");
  if (decodeLE64(sb + 144) != static_cast<uint64_t>(at / kSector))
    return damaged(kind, "it records another place for itself");
  out->metadata = kind;
  out->superAt = at;
  out->superBytes = static_cast<int64_t>((bytes + kSector - 1) / kSector * kSector);
  memcpy(out->uuid, sb + 16, 16);
  memcpy(out->deviceUuid, sb + 168, 16);
  out->name = printableName(sb + 32, 32);
  const uint32_t features = decodeLE32(sb + 8);
  out->level = static_cast<int32_t>(decodeLE32(sb + 72));
  out->layout = decodeLE32(sb + 76);
  if ((features & kFeatureRaid0Layout) && out->level != 0)
    return damaged(kind, "a RAID0 layout recorded for another level");
  if (!(features & kFeatureRaid0Layout) && out->level == 0) out->layout = 0;  // not recorded
  out->chunk = static_cast<int64_t>(decodeLE32(sb + 88)) * kSector;
  const uint32_t raidDisks = decodeLE32(sb + 92);
  if (raidDisks < 1 || raidDisks > kMaxDev1)
    return damaged(kind, "a number of members out of range");
  out->raidDisks = static_cast<int>(raidDisks);
  const uint64_t dataOffset = decodeLE64(sb + 128), dataSize = decodeLE64(sb + 136);
  const uint64_t sectors = static_cast<uint64_t>(deviceBytes / kSector);
  if (dataSize == 0 || dataOffset > sectors || dataSize > sectors - dataOffset)
    return damaged(kind, "a data area outside the device");
  out->dataOffset = static_cast<int64_t>(dataOffset) * kSector;
  out->dataBytes = static_cast<int64_t>(dataSize) * kSector;
  if (overlaps(at, out->superBytes, out->dataOffset, out->dataBytes))
    return damaged(kind, "a data area over the superblock");
  const uint64_t size = decodeLE64(sb + 80);
  if (out->level >= 1 && (size == 0 || size > dataSize))
    return damaged(kind, "a member size past the data area");
  out->componentBytes = out->level >= 1 ? static_cast<int64_t>(size) * kSector : out->dataBytes;
  out->events = decodeLE64(sb + 200);
  const uint32_t devNumber = decodeLE32(sb + 160);
  if (devNumber >= maxDev) return damaged(kind, "this device's slot is out of range");
  const uint16_t role = decodeLE16(sb + 256 + 2 * devNumber);
  if (role == kRoleFaulty)
    out->role = MdSuper::kFaulty;
  else if (role == kRoleJournal)
    out->role = MdSuper::kJournal;
  else if (role == kRoleSpare || role >= raidDisks)
    out->role = MdSuper::kSpare;
  else
    out->role = role;
  std::vector<bool> held(raidDisks, false);
  for (uint32_t d = 0; d < maxDev; ++d) {
    const uint16_t r = decodeLE16(sb + 256 + 2 * d);
    if (r < raidDisks) held[r] = true;
  }
  for (uint32_t r = 0; r < raidDisks; ++r) {
    if (!held[r]) out->missingRoles.push_back(static_cast<int>(r));
  }
  if (features & kFeatureBitmap) {
    out->bitmapAt = at + static_cast<int64_t>(static_cast<int32_t>(decodeLE32(sb + 96))) * kSector;
    if (out->bitmapAt < 0 || out->bitmapAt >= deviceBytes)
      return damaged(kind, "a write-intent bitmap outside the device");
  }
  const uint32_t bblogSectors = decodeLE16(sb + 186);
  if ((features & kFeatureBadBlocks) && bblogSectors != 0) {
    out->bblogAt = at + static_cast<int64_t>(static_cast<int32_t>(decodeLE32(sb + 188))) * kSector;
    out->bblogBytes = static_cast<int64_t>(bblogSectors) * kSector;
    if (out->bblogAt < 0 || out->bblogAt > deviceBytes - out->bblogBytes)
      return damaged(kind, "a bad-block log outside the device");
    if (overlaps(out->bblogAt, out->bblogBytes, out->dataOffset, out->dataBytes))
      return damaged(kind, "a bad-block log inside the data area");
  }
  finishState(out->level, (features & kFeatureReshape) != 0, decodeLE64(sb + 208) != ~uint64_t(0),
              (features & kFeatureRecovery) != 0 && out->role >= 0, out);
  return CVoError();
}

// The write-intent bitmap's extent, from its own superblock: the header and a bit per chunk of
// the member's data, or the room reserved for it, once per cluster node.
CVoError readBitmap(DeviceView* view, int64_t length, MdSuper* sb) {
  const char* kind = sb->metadata.c_str();
  unsigned char h[256];
  if (sb->bitmapAt > length - static_cast<int64_t>(sizeof h) ||
      !readWhole(view, sb->bitmapAt, h, sizeof h))
    return damaged(kind, "its write-intent bitmap cannot be read");
  const uint32_t version = decodeLE32(h + 4), chunk = decodeLE32(h + 52);
  if (decodeLE32(h) != kBitmapMagic || version < 3 || version > 5)
    return damaged(kind, "its write-intent bitmap is missing");
  if (chunk < 512 || (chunk & (chunk - 1)) != 0)
    return damaged(kind, "a write-intent bitmap with a bad chunk size");
  const uint64_t syncSectors = decodeLE64(h + 40);
  if (syncSectors > static_cast<uint64_t>(length / kSector))
    return damaged(kind, "a write-intent bitmap larger than the device");
  const uint64_t chunks = (syncSectors * kSector + chunk - 1) / chunk;
  int64_t bytes = static_cast<int64_t>(256 + (chunks + 7) / 8);
  bytes = std::max<int64_t>(bytes, static_cast<int64_t>(decodeLE32(h + 64)) * kSector);
  bytes = (bytes + 4095) / 4096 * 4096;
  const uint32_t nodes = decodeLE32(h + 68);
  if (version == 5 && nodes > 1) {
    if (nodes > 64) return damaged(kind, "a clustered bitmap of too many nodes");
    bytes *= nodes;
  }
  sb->bitmapBytes = std::min<int64_t>(bytes, length - sb->bitmapAt);
  if (overlaps(sb->bitmapAt, sb->bitmapBytes, sb->dataOffset, sb->dataBytes))
    return damaged(kind, "a write-intent bitmap inside the data area");
  return CVoError();
}

std::string hexUuid(const unsigned char* u) {
  char s[40];
  int n = 0;
  for (int i = 0; i < 16; ++i) {
    if (i && i % 4 == 0) s[n++] = ':';
    n += snprintf(s + n, sizeof s - static_cast<size_t>(n), "%02x", u[i]);
  }
  return std::string(s, static_cast<size_t>(n));
}

const char* levelName(int level) {
  switch (level) {
    case -1:
      return "linear";
    case 0:
      return "raid0";
    case 1:
      return "raid1";
    case 4:
      return "raid4";
    case 5:
      return "raid5";
    case 6:
      return "raid6";
    case 10:
      return "raid10";
    default:
      return nullptr;
  }
}

std::string roleList(const std::vector<int>& roles) {
  std::string s;
  for (size_t i = 0; i < roles.size(); ++i) s += (i ? ", " : "") + std::to_string(roles[i]);
  return s;
}

// Coalesces adjacent ranges before they go to the caller's mark.
class Marker {
 public:
  explicit Marker(const MarkRange& mark) : mark_(mark) {}
  ~Marker() { flush(); }
  void add(int64_t from, int64_t length) {
    if (length <= 0) return;
    if (length_ > 0 && from == from_ + length_) {
      length_ += length;
      return;
    }
    flush();
    from_ = from;
    length_ = length;
  }
  void flush() {
    if (length_ > 0) mark_(from_, length_);
    length_ = 0;
  }

 private:
  const MarkRange& mark_;
  int64_t from_ = 0, length_ = 0;
};

}  // namespace

CVoError decodeMdSuper(const unsigned char* sb, size_t size, int64_t at, int64_t deviceBytes,
                       const char* kind, bool* found, MdSuper* out) {
  *found = false;
  if (size < static_cast<size_t>(kSuperRead)) return CVoError();
  const bool v090 = strcmp(kind, "0.90") == 0;
  const bool le = decodeLE32(sb) == kMdMagic, be = v090 && decodeBE32(sb) == kMdMagic;
  if (!le && !be) return CVoError();
  *found = true;
  *out = MdSuper();
  return v090 ? decode090(sb, at, be && !le, out) : decode1(sb, at, deviceBytes, kind, out);
}

CVoError readMdSuper(DeviceView* view, int64_t length, bool* found, MdSuper* out) {
  *found = false;
  struct Candidate {
    const char* kind;
    int64_t at;
  };
  std::vector<Candidate> candidates;
  if (length >= 3 * 4096)
    candidates.push_back({"1.0", ((length / kSector - 16) & ~int64_t(7)) * kSector});
  if (length >= 2 * kReserved090)
    candidates.push_back({"0.90", (length & ~(kReserved090 - 1)) - kReserved090});
  if (length >= 2 * 4096) candidates.push_back({"1.1", 0});
  if (length >= 3 * 4096) candidates.push_back({"1.2", 4096});
  std::vector<MdSuper> good;
  CVoError firstBad;
  std::vector<unsigned char> buf(kSuperRead);
  for (const Candidate& c : candidates) {
    if (!readWhole(view, c.at, buf.data(), kSuperRead)) continue;
    bool here = false;
    MdSuper sb;
    CVoError err = decodeMdSuper(buf.data(), buf.size(), c.at, length, c.kind, &here, &sb);
    if (!here) continue;
    *found = true;
    if (err.code >= 0 && sb.bitmapAt > 0) err = readBitmap(view, length, &sb);
    if (err.code < 0) {
      if (firstBad.code >= 0) firstBad = err;
      continue;
    }
    good.push_back(std::move(sb));
  }
  if (!*found) return CVoError();
  // A superblock inside another's data area belongs to what that array holds.
  std::vector<const MdSuper*> outer;
  for (const MdSuper& a : good) {
    bool inside = false;
    for (const MdSuper& b : good)
      inside = inside || (&a != &b && overlaps(a.superAt, 4096, b.dataOffset, b.dataBytes));
    if (!inside) outer.push_back(&a);
  }
  if (outer.empty()) {
    if (firstBad.code < 0) return firstBad;
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "md superblocks each inside the other's data");
  }
  if (outer.size() > 1)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "md superblocks %s and %s both claim the device",
                                   outer[0]->metadata.c_str(), outer[1]->metadata.c_str());
  *out = *outer[0];
  return CVoError();
}

CVoError MdGeometry::init(int level, uint32_t layout, int64_t chunk, int raidDisks,
                          const std::vector<int64_t>& memberBytes) {
  level_ = level;
  layout_ = layout;
  chunk_ = chunk;
  disks_ = raidDisks;
  if (raidDisks < 1 || memberBytes.size() != static_cast<size_t>(raidDisks))
    return JxErrorUtil::ErrorErrNo(HERE, EINVAL, "md: members do not match the array's count");
  if (level != -1 && level != 1 && (chunk < 4096 || chunk > kMaxChunk || chunk % 4096 != 0))
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "md: a chunk size of %lld bytes is not read",
                                   static_cast<long long>(chunk));
  const int64_t perMember = *std::min_element(memberBytes.begin(), memberBytes.end());
  const int64_t rows = chunk > 0 ? perMember / chunk : 0;
  zones_.clear();
  starts_.clear();
  switch (level) {
    case -1: {
      int64_t at = 0;
      for (int64_t b : memberBytes) {
        starts_.push_back(at);
        at += chunk > 0 ? b / chunk * chunk : b;
      }
      arrayBytes_ = at;
      break;
    }
    case 1:
      arrayBytes_ = perMember;
      break;
    case 0:
      return initZones(memberBytes);
    case 4:
    case 5:
    case 6: {
      const int parities = level == 6 ? 2 : 1;
      if (raidDisks <= parities)
        return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "md: too few members for RAID%d", level);
      const bool known = level == 4 || layout <= 5 || (level == 6 && layout >= 16 && layout <= 20);
      if (!known)
        return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "md: RAID%d layout %u is not read", level,
                                       layout);
      arrayBytes_ = rows * chunk * (raidDisks - parities);
      break;
    }
    case 10: {
      near_ = static_cast<int>(layout & 0xff);
      far_ = static_cast<int>((layout >> 8) & 0xff);
      farOffset_ = (layout >> 16) & 1;
      if (near_ < 1 || far_ < 1 || (layout >> 17) != 0 || near_ * far_ > raidDisks)
        return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "md: RAID10 layout 0x%x is not read", layout);
      const int64_t chunks = rows / far_ * raidDisks / near_;
      const int64_t usedPerMember = (chunks * near_ * far_ + raidDisks - 1) / raidDisks;
      stride_ = farOffset_ ? chunk : usedPerMember / far_ * chunk;
      arrayBytes_ = chunks * chunk;
      break;
    }
    default:
      return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "md: level %d is not read", level);
  }
  return CVoError();
}

// md's RAID0 over members of different sizes: each uses its data rounded down to the chunk, zone 0
// stripes over all of them as far as the shortest goes, zone 1 over those longer, from there to
// the next shortest, and so on. Which member of a zone holds a chunk is the chunk's number counted
// from the array's start (the original layout, 1) or from the zone's (the alternate one, 2),
// modulo the zone's members; they agree while every zone after the first has one member. (A
// member shorter than a chunk leaves zone 0 empty, as md's does.)
CVoError MdGeometry::initZones(const std::vector<int64_t>& memberBytes) {
  std::vector<int64_t> usable;
  for (int64_t b : memberBytes) usable.push_back(b / chunk_ * chunk_);
  std::vector<int64_t> ends(usable);
  std::sort(ends.begin(), ends.end());
  ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
  int64_t at = 0, devStart = 0;
  for (int64_t end : ends) {
    Zone z{at, devStart, 0, {}};
    for (int r = 0; r < disks_; ++r) {
      if (usable[static_cast<size_t>(r)] > devStart) z.roles.push_back(r);
    }
    at += (end - devStart) * static_cast<int64_t>(z.roles.size());
    devStart = end;
    zones_.push_back(std::move(z));
  }
  arrayBytes_ = at;
  if (zones_.size() > 1 && zones_[1].roles.size() > 1) {
    if (layout_ == 0)
      return JxErrorUtil::ErrorErrNo(
          HERE, ENOSYS, "md: RAID0 with members of different sizes and no recorded layout");
    if (layout_ != 1 && layout_ != 2)
      return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "md: RAID0 layout %u is not read", layout_);
    if (layout_ == 1) {
      for (Zone& z : zones_) z.shift = z.start / chunk_;
    }
  }
  return CVoError();
}

void MdGeometry::places(int64_t offset, int64_t* run, std::vector<Place>* out) const {
  out->clear();
  if (level_ == 1) {
    *run = arrayBytes_ - offset;
    for (int r = 0; r < disks_; ++r) out->push_back({r, offset, false});
    return;
  }
  if (level_ == -1) {
    const int r = static_cast<int>(std::upper_bound(starts_.begin(), starts_.end(), offset) -
                                   starts_.begin()) -
                  1;
    const int64_t end = r + 1 < disks_ ? starts_[static_cast<size_t>(r + 1)] : arrayBytes_;
    *run = end - offset;
    out->push_back({r, offset - starts_[static_cast<size_t>(r)], false});
    return;
  }
  const int64_t cn = offset / chunk_, in = offset % chunk_;
  *run = chunk_ - in;
  const int n = disks_;
  if (level_ == 0) {
    const auto z = std::upper_bound(zones_.begin(), zones_.end(), offset,
                                    [](int64_t o, const Zone& zone) { return o < zone.start; }) -
                   1;
    const int64_t k = (offset - z->start) / chunk_, m = static_cast<int64_t>(z->roles.size());
    out->push_back({z->roles[static_cast<size_t>((k + z->shift) % m)],
                    z->devStart + k / m * chunk_ + in, false});
    return;
  }
  if (level_ == 10) {
    const int64_t first = cn * near_;
    int64_t stripe = first / n;
    int dev = static_cast<int>(first % n);
    if (farOffset_) stripe *= far_;
    int64_t base = stripe * chunk_ + in;
    for (int k = 0; k < near_; ++k) {
      int d = dev;
      int64_t s = base;
      out->push_back({d, s, false});
      for (int f = 1; f < far_; ++f) {
        d = (d + near_) % n;
        s += stride_;
        out->push_back({d, s, false});
      }
      if (++dev >= n) {
        dev = 0;
        base += chunk_;
      }
    }
    return;
  }
  // RAID4/5/6, as md's raid5 numbers the layouts.
  const int parities = level_ == 6 ? 2 : 1;
  const int dataDisks = n - parities;
  const int64_t stripe = cn / dataDisks;
  int dd = static_cast<int>(cn % dataDisks);
  int pd = 0, qd = -1;
  const uint32_t layout = level_ == 4 ? 5 : layout_;
  if (level_ != 6 || layout >= 16) {
    // RAID5, or RAID6 with Q on the last member and a RAID5 layout over the others.
    const int m = level_ == 6 ? n - 1 : n;
    const int rot = static_cast<int>(stripe % m);
    switch (layout % 16) {
      case 0:
        pd = m - 1 - rot;
        if (dd >= pd) ++dd;
        break;
      case 1:
        pd = rot;
        if (dd >= pd) ++dd;
        break;
      case 2:
        pd = m - 1 - rot;
        dd = (pd + 1 + dd) % m;
        break;
      case 3:
        pd = rot;
        dd = (pd + 1 + dd) % m;
        break;
      case 4:
        pd = 0;
        ++dd;
        break;
      default:
        pd = m - 1;
        break;
    }
    if (level_ == 6) qd = n - 1;
  } else {
    const int rot = static_cast<int>(stripe % n);
    switch (layout) {
      case 0:
      case 1:
        pd = layout == 0 ? n - 1 - rot : rot;
        qd = pd + 1;
        if (pd == n - 1) {
          ++dd;
          qd = 0;
        } else if (dd >= pd) {
          dd += 2;
        }
        break;
      case 2:
      case 3:
        pd = layout == 2 ? n - 1 - rot : rot;
        qd = (pd + 1) % n;
        dd = (pd + 2 + dd) % n;
        break;
      case 4:
        pd = 0;
        qd = 1;
        dd += 2;
        break;
      default:
        pd = dataDisks;
        qd = dataDisks + 1;
        break;
    }
  }
  const int64_t at = stripe * chunk_ + in;
  out->push_back({dd, at, false});
  out->push_back({pd, at, true});
  if (qd >= 0) out->push_back({qd, at, true});
}

CVoError MdArrayView::readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) {
  *got = 0;
  std::vector<MdGeometry::Place> where;
  unsigned char* out = static_cast<unsigned char*>(buf);
  while (*got < size && offset < geometry_.arrayBytes()) {
    int64_t run = 0;
    geometry_.places(offset, &run, &where);
    const uint32_t n = static_cast<uint32_t>(
        std::min<int64_t>({run, size - *got, geometry_.arrayBytes() - offset}));
    uint32_t read = 0;
    CVoError err =
        members_[static_cast<size_t>(where[0].role)]->readAt(where[0].at, out + *got, n, &read);
    if (err.code < 0) return err.Push(HERE, "md array: member %d", where[0].role);
    *got += read;
    offset += read;
    if (read < n) break;
  }
  return CVoError();
}

CVoError MdArrayView::length(int64_t* bytes) {
  *bytes = geometry_.arrayBytes();
  return CVoError();
}

namespace {

class MdLayer : public Layer {
 public:
  MdLayer(const MdSuper& sb, int64_t length) : sb_(sb), length_(length) {}
  std::string kind() const override { return "md"; }
  void open(const std::shared_ptr<DeviceView>& view, const LayerContext& ctx);
  CVoError map(int64_t offset, int64_t chunk, const MarkRange& mark) override;
  std::vector<FsParser::Property> properties() const override;
  void setVerify(bool on) override {
    if (contents_) contents_->setVerify(on);
  }
  void verifyReports(const std::string& prefix, std::vector<FsDisk::Verified>* out) const override {
    if (contents_) contents_->verifyReports(prefix, out);
  }

 private:
  bool gatherMembers(const std::shared_ptr<DeviceView>& view, const LayerContext& ctx,
                     std::vector<std::shared_ptr<DeviceView>>* members,
                     std::vector<int64_t>* bytes);

  MdSuper sb_;
  int64_t length_;
  MdGeometry geometry_;
  std::vector<std::unique_ptr<CVoFile>> files_;  // the other members, open while contents_ is
  std::unique_ptr<Contents> contents_;
  std::string why_;
};

bool MdLayer::gatherMembers(const std::shared_ptr<DeviceView>& view, const LayerContext& ctx,
                            std::vector<std::shared_ptr<DeviceView>>* members,
                            std::vector<int64_t>* bytes) {
  members->assign(static_cast<size_t>(sb_.raidDisks), nullptr);
  bytes->assign(static_cast<size_t>(sb_.raidDisks), 0);
  (*members)[static_cast<size_t>(sb_.role)] = std::make_shared<ExtentView>(
      view, std::vector<ExtentView::Extent>{{sb_.dataOffset, sb_.dataBytes}});
  (*bytes)[static_cast<size_t>(sb_.role)] = sb_.componentBytes;
  const std::vector<std::string> none;
  for (const std::string& path : ctx.options ? ctx.options->members : none) {
    std::unique_ptr<CVoFile> file(new CVoFile);
    CVoError err = file->Open(path.c_str(), kDeviceOpenFlags, kDeviceOpenMode);
    if (err.code < 0) {
      if (ctx.refusal && ctx.refusal->code >= 0)
        *ctx.refusal = err.Push(HERE, "md member %s cannot be opened", path.c_str());
      why_ = "md member " + path + " cannot be opened";
      return false;
    }
    auto fileView = std::make_shared<FileView>(file.get());
    int64_t length = 0;
    bool found = false;
    MdSuper m;
    if (fileView->length(&length).code < 0 ||
        readMdSuper(fileView.get(), length, &found, &m).code < 0 || !found ||
        memcmp(m.uuid, sb_.uuid, 16) != 0)
      continue;  // another array's member, or none
    if (m.role == sb_.role && (sb_.metadata == "0.90" || !memcmp(m.deviceUuid, sb_.deviceUuid, 16)))
      continue;  // this member itself
    if (m.level != sb_.level || m.layout != sb_.layout || m.chunk != sb_.chunk ||
        m.raidDisks != sb_.raidDisks || m.events != sb_.events || m.state != "clean") {
      why_ = "md member " + path + " does not agree with this one (out of date or " + m.state + ")";
      return false;
    }
    if (m.role < 0) continue;  // a spare
    if ((*members)[static_cast<size_t>(m.role)]) {
      why_ = "two md members hold role " + std::to_string(m.role);
      return false;
    }
    (*members)[static_cast<size_t>(m.role)] = std::make_shared<ExtentView>(
        fileView, std::vector<ExtentView::Extent>{{m.dataOffset, m.dataBytes}});
    (*bytes)[static_cast<size_t>(m.role)] = m.level == -1 ? m.dataBytes : m.componentBytes;
    files_.push_back(std::move(file));
  }
  std::vector<int> missing;
  for (int r = 0; r < sb_.raidDisks; ++r) {
    if (!(*members)[static_cast<size_t>(r)]) missing.push_back(r);
  }
  if (!missing.empty()) {
    why_ = "counts used: the array's other members are not all named (role" +
           std::string(missing.size() > 1 ? "s " : " ") + roleList(missing) + " missing)";
    return false;
  }
  return true;
}

void MdLayer::open(const std::shared_ptr<DeviceView>& view, const LayerContext& ctx) {
  if (sb_.role < 0) {
    why_ = sb_.role == MdSuper::kFaulty    ? "counts used: a faulty member"
           : sb_.role == MdSuper::kJournal ? "counts used: the array's journal"
                                           : "counts used: a spare";
    return;
  }
  if (sb_.state != "clean") {
    why_ = "counts used: the array is " + sb_.state;
    if (!sb_.missingRoles.empty())
      why_ += " (role" + std::string(sb_.missingRoles.size() > 1 ? "s " : " ") +
              roleList(sb_.missingRoles) + " missing)";
    return;
  }
  std::shared_ptr<DeviceView> data;
  int64_t dataBytes = 0;
  if (sb_.level == 1) {
    data = std::make_shared<ExtentView>(
        view, std::vector<ExtentView::Extent>{{sb_.dataOffset, sb_.componentBytes}});
    dataBytes = sb_.componentBytes;
  } else {
    if (!levelName(sb_.level)) {
      why_ = "counts used: md level " + std::to_string(sb_.level) + " is not read";
      return;
    }
    std::vector<std::shared_ptr<DeviceView>> members;
    std::vector<int64_t> bytes;
    if (!gatherMembers(view, ctx, &members, &bytes)) return;
    CVoError err = geometry_.init(sb_.level, sb_.layout, sb_.chunk, sb_.raidDisks, bytes);
    if (err.code < 0) {
      why_ = "counts used: " + err.message();
      return;
    }
    data = std::make_shared<MdArrayView>(geometry_, std::move(members));
    dataBytes = geometry_.arrayBytes();
  }
  CVoError err;
  contents_ = Contents::open(data, dataBytes, ctx.inner("/md"), &err);
  if (!contents_) why_ = "counts used: nothing recognised in the array (" + err.message() + ")";
}

CVoError MdLayer::map(int64_t offset, int64_t chunk, const MarkRange& mark) {
  Marker marker(mark);
  if (!contents_) {
    marker.add(0, length_);
    return CVoError();
  }
  marker.add(0, sb_.dataOffset);
  if (sb_.level == 1) {
    CVoError err = contents_->map(offset + sb_.dataOffset, chunk, [&](int64_t from, int64_t n) {
      marker.add(sb_.dataOffset + from, std::min(n, sb_.componentBytes - from));
    });
    if (err.code < 0) return err.Push(HERE, "md RAID1 data area");
    marker.add(sb_.dataOffset + sb_.componentBytes, length_ - sb_.dataOffset - sb_.componentBytes);
    return CVoError();
  }
  std::vector<MdGeometry::Place> where;
  const int64_t grain = sb_.chunk > 0 ? std::min<int64_t>(chunk, sb_.chunk) : chunk;
  CVoError err = contents_->map(0, grain, [&](int64_t from, int64_t n) {
    const int64_t end = std::min(from + n, geometry_.arrayBytes());
    while (from < end) {
      int64_t run = 0;
      geometry_.places(from, &run, &where);
      run = std::min(run, end - from);
      for (const MdGeometry::Place& p : where) {
        if (p.role != sb_.role) continue;
        if (p.parity)  // the whole strip: its parity depends on every data strip of the row
          marker.add(sb_.dataOffset + p.at / sb_.chunk * sb_.chunk, sb_.chunk);
        else
          marker.add(sb_.dataOffset + p.at, run);
      }
      from += run;
    }
  });
  if (err.code < 0) return err.Push(HERE, "md array");
  // What md leaves unused at the end of this member's data area (past the last whole chunk).
  int64_t used = sb_.level == -1 ? sb_.dataBytes : sb_.componentBytes;
  if (sb_.chunk > 0) used = used / sb_.chunk * sb_.chunk;
  marker.add(sb_.dataOffset + used, length_ - sb_.dataOffset - used);
  return CVoError();
}

std::vector<FsParser::Property> MdLayer::properties() const {
  std::vector<FsParser::Property> p;
  auto text = [&](const char* key, const std::string& value) { p.push_back({key, value}); };
  auto number = [&](const char* key, long long value) {
    p.push_back(FsParser::Property::ofNumber(key, value));
  };
  const char* level = levelName(sb_.level);
  text("level", level ? level : "level " + std::to_string(sb_.level));
  text("metadata", sb_.metadata);
  text("array_uuid", hexUuid(sb_.uuid));
  text("name", sb_.name);
  number("members", sb_.raidDisks);
  if (sb_.role >= 0)
    number("this_role", sb_.role);
  else
    text("this_role", sb_.role == MdSuper::kFaulty    ? "faulty"
                      : sb_.role == MdSuper::kJournal ? "journal"
                                                      : "spare");
  text("state", sb_.state);
  number("data_offset", sb_.dataOffset);
  number("data_size", sb_.dataBytes);
  if (sb_.bitmapBytes > 0) number("bitmap_size", sb_.bitmapBytes);
  text("content", contents_ ? contents_->describe() : why_);
  return p;
}

}  // namespace

std::unique_ptr<Layer> probeMd(const std::shared_ptr<DeviceView>& view, int64_t length,
                               const LayerContext& ctx, bool* found, CVoError* err) {
  MdSuper sb;
  CVoError e = readMdSuper(view.get(), length, found, &sb);
  if (!*found) return nullptr;
  if (e.code < 0) {
    *err = e;
    return nullptr;
  }
  std::unique_ptr<MdLayer> layer(new MdLayer(sb, length));
  layer->open(view, ctx);
  return std::unique_ptr<Layer>(layer.release());
}

}  // namespace fsbmp
