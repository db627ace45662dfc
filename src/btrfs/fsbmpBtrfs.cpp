// btrfs: the superblock (the newest of its copies that verifies), then, for a map, the chunk
// tree, the root tree, and the block groups' used space from the free-space tree or the extent
// tree, marked on this device through each chunk's stripes.
#include "fsbmp/fsbmpBtrfs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "btrfs/fsbmpBtrfsImpl.h"
#include "btrfs/fsbmpBtrfsLayout.h"
#include "core/blake2b.h"
#include "core/checksums.h"
#include "core/chunks.h"
#include "core/coding.h"
#include "core/device.h"
#include "core/device_view.h"
#include "core/location.h"
#include "core/sha256.h"
#include "core/xxhash64.h"

static const char kFile[] = "fsbmpBtrfs";
#define HERE JX_LOCATION(kFile)

using namespace fsbmp::btrfs;
using fsbmp::decodeLE16;
using fsbmp::decodeLE32;
using fsbmp::decodeLE64;

namespace fsbmp {
namespace btrfs {

const char* csumName(int type) {
  switch (type) {
    case kCsumCrc32c:
      return "crc32c";
    case kCsumXxhash64:
      return "xxhash64";
    case kCsumSha256:
      return "sha256";
    case kCsumBlake2b:
      return "blake2b";
    default:
      return nullptr;
  }
}

size_t csumBytes(int type) {
  switch (type) {
    case kCsumCrc32c:
      return 4;
    case kCsumXxhash64:
      return 8;
    default:
      return 32;
  }
}

}  // namespace btrfs
}  // namespace fsbmp

namespace {

// The names of the incompatible flags the map refuses.
const char* refusedFlagName(uint64_t bit) {
  switch (bit) {
    case kIncompatZoned:
      return "ZONED";
    case kIncompatExtentTreeV2:
      return "EXTENT_TREE_V2";
    case kIncompatRaidStripeTree:
      return "RAID_STRIPE_TREE";
    default:
      return nullptr;
  }
}

}  // namespace

CVoError FsParserBtrfs::Impl::checksum(const JxCodeLocation& where, int type,
                                       const unsigned char* data, size_t length,
                                       unsigned char* out) const {
  memset(out, 0, 32);
  if (type == kCsumCrc32c) {
    uint32_t crc = 0xFFFFFFFF;
    mb_crc32c(data, length, &crc);
    crc = ~crc;
    fsbmp::encodeLE32(out, crc);
    return CVoError();
  }
  if (type == kCsumXxhash64) {
    const uint64_t h = fsbmp::xxh64(data, length, 0);
    for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(h >> (8 * i));
    return CVoError();
  }
  if (type == kCsumSha256) {
    fsbmp::sha256(data, length, out);
    return CVoError();
  }
  if (type == kCsumBlake2b) {
    fsbmp::blake2b(data, length, out, 32);
    return CVoError();
  }
  return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS, "%s uses unknown checksum type %d",
                                 fs.devPath.c_str(), type);
}

std::string FsParserBtrfs::Impl::checkSuper(const unsigned char* copy, uint64_t offset,
                                            int* type) const {
  if (memcmp(copy + kOffSbMagic, kMagic, sizeof kMagic) != 0) return "has no btrfs magic";
  if (decodeLE64(copy + kOffSbBytenr) != offset) return "says it lies elsewhere";
  *type = decodeLE16(copy + kOffSbCsumType);
  if (!csumName(*type)) return "has unknown checksum type " + std::to_string(*type);
  unsigned char sum[32];
  CVoError err = checksum(HERE, *type, copy + kCsumStart, kSuperSize - kCsumStart, sum);
  if (err.code < 0) return err.rootMessage();
  if (memcmp(sum, copy + kOffSbCsum, csumBytes(*type)) != 0 && fsbmp::kChecksumsRefuse)
    return "fails its checksum";
  return "";
}

CVoError FsParserBtrfs::Impl::readSuper(const JxCodeLocation& where) {
  const char* dev = fs.devPath.c_str();
  int64_t length = 0;
  CVoError err = fs.view->length(&length);
  if (err.code < 0) return err.Push(FSBMP_AT(where), "Couldn't measure %s", dev);
  unsigned char copy[kSuperSize];
  unsigned char primaryFsid[16];
  std::string primaryWhy;
  bool chosen = false;
  for (int i = 0; i < kSuperCopies; ++i) {
    const uint64_t off = kSuperOffsets[i];
    // The mirrors that fit the device; the primary is read whatever the length says, so that a
    // short device fails as a short read does (errno 28).
    if (i > 0 && (length < 0 || off + kSuperSize > static_cast<uint64_t>(length))) break;
    err = fs.readBlocks(copy, kSuperSize, static_cast<long long>(off / kSuperSize), 1);
    if (err.code < 0) {
      if (i == 0) return err.Push(FSBMP_AT(where), "Couldn't read superblock from %s", dev);
      continue;
    }
    int type = 0;
    const std::string why = checkSuper(copy, off, &type);
    if (i == 0) {
      if (memcmp(copy + kOffSbMagic, kMagic, sizeof kMagic) != 0)
        return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS, "There is no btrfs magic on %s",
                                       dev);
      memcpy(primaryFsid, copy + kOffSbFsid, 16);
      primaryWhy = why;
    } else if (memcmp(copy + kOffSbFsid, primaryFsid, 16) != 0) {
      continue;
    }
    if (!why.empty()) continue;
    const uint64_t gen = decodeLE64(copy + kOffSbGeneration);
    if (!chosen || gen > generation) {
      memcpy(sb, copy, kSuperSize);
      superOffset = off;
      generation = gen;
      chosen = true;
    }
  }
  if (!chosen)
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "The btrfs superblock of %s %s, and no mirror verifies", dev,
                                   primaryWhy.c_str());
  if (superOffset != kSuperOffsets[0])
    fs.debug.Debug("FsParserBtrfs::init", "primary superblock %s; the mirror at %llu is newest",
                   primaryWhy.empty() ? "is older" : primaryWhy.c_str(),
                   static_cast<unsigned long long>(superOffset));
  return CVoError();
}

FsParserBtrfs::FsParserBtrfs(const std::string& dev, CVoError* err)
    : FsParserBtrfs(nullptr, dev, err) {}

FsParserBtrfs::FsParserBtrfs(std::shared_ptr<fsbmp::DeviceView> given, const std::string& dev,
                             CVoError* err)
    : FsParser(dev, std::move(given)), impl_(new Impl(*this)) {
  fsType = kBtrfs;
  *err = init(devPath);
}

FsParserBtrfs::~FsParserBtrfs() {}

CVoError FsParserBtrfs::init(const std::string& dev) {
  CVoError err = openDevice(HERE, dev);
  if (err.code < 0) return err;
  Impl& m = *impl_;
  err = m.readSuper(HERE);
  if (err.code < 0) return err;
  const unsigned char* sb = m.sb;
  const char* name = dev.c_str();
  memcpy(m.fsid, sb + kOffSbFsid, 16);
  m.incompat = decodeLE64(sb + kOffSbIncompat);
  m.compatRo = decodeLE64(sb + kOffSbCompatRo);
  memcpy(m.metadataUuid, (m.incompat & kIncompatMetadataUuid) ? sb + kOffSbMetadataUuid : m.fsid,
         16);
  m.sectorSize = decodeLE32(sb + kOffSbSectorSize);
  m.nodeSize = decodeLE32(sb + kOffSbNodeSize);
  m.csumType = decodeLE16(sb + kOffSbCsumType);
  m.numDevices = decodeLE64(sb + kOffSbNumDevices);
  m.logRoot = decodeLE64(sb + kOffSbLogRoot);
  m.logRootLevel = sb[kOffSbLogRootLevel];
  const unsigned char* item = sb + kOffSbDevItem;
  m.devid = decodeLE64(item + kOffDevId);
  m.devTotalBytes = decodeLE64(item + kOffDevTotalBytes);
  memcpy(m.devUuid, item + kOffDevUuid, 16);
  const uint64_t flags = decodeLE64(sb + kOffSbFlags);

  static const char kTag[] = "FsParserBtrfs::init";
  debug.Debug(kTag, "Detected btrfs on %s", name);
  debug.Debug(kTag, "   fsid=%s devid=%llu of %llu", formatUuid(m.fsid).c_str(),
              static_cast<unsigned long long>(m.devid),
              static_cast<unsigned long long>(m.numDevices));
  debug.Debug(kTag, "   sectorsize=%u nodesize=%u csum=%d generation=%llu", m.sectorSize,
              m.nodeSize, m.csumType, static_cast<unsigned long long>(m.generation));
  debug.Debug(kTag, "   incompat=0x%llx compat_ro=0x%llx log_root=%llu",
              static_cast<unsigned long long>(m.incompat),
              static_cast<unsigned long long>(m.compatRo),
              static_cast<unsigned long long>(m.logRoot));

  if (flags & kSuperSeeding)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                   "%s is a btrfs seed device (SEEDING): not supported", name);
  if (flags & (kSuperMetadump | kSuperMetadumpV2))
    return JxErrorUtil::ErrorErrNo(
        HERE, ENOSYS, "%s is a btrfs metadata image (METADUMP), without its data", name);
  if (flags & (kSuperChangingFsid | kSuperChangingFsidV2))
    return JxErrorUtil::ErrorErrNo(
        HERE, ENOSYS, "%s is in the middle of a btrfs fsid change (CHANGING_FSID)", name);
  for (int bit = 0; bit < 64; ++bit) {
    const uint64_t b = 1ull << bit;
    if (!(m.incompat & b) || (kIncompatKnown & b)) continue;
    const char* flag = refusedFlagName(b);
    if (flag)
      return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                     "btrfs on %s has incompat flag %s: not supported", name, flag);
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                   "btrfs on %s has unknown incompat flag 0x%llx (bit %d)", name,
                                   static_cast<unsigned long long>(b), bit);
  }
  const uint64_t knownRo = kCompatRoFreeSpaceTree | kCompatRoFreeSpaceTreeValid | kCompatRoVerity |
                           kCompatRoBlockGroupTree;
  if (m.compatRo & ~knownRo)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "btrfs on %s has unknown compat_ro flags 0x%llx",
                                   name, static_cast<unsigned long long>(m.compatRo & ~knownRo));
  if (m.sectorSize < 4096 || m.sectorSize > 65536 || (m.sectorSize & (m.sectorSize - 1)) ||
      m.nodeSize < m.sectorSize || m.nodeSize > 65536 || (m.nodeSize & (m.nodeSize - 1)))
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                   "btrfs on %s has unusable sector size %u or node size %u", name,
                                   m.sectorSize, m.nodeSize);
  if (sb[kOffSbRootLevel] >= kMaxLevel || sb[kOffSbChunkRootLevel] >= kMaxLevel ||
      m.logRootLevel >= kMaxLevel)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "btrfs on %s has a tree root above level %d", name,
                                   kMaxLevel - 1);
  if (m.devid == 0)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                   "%s is the target of a btrfs device replace (devid 0): map the "
                                   "device it replaces",
                                   name);
  if (m.numDevices == 0 || m.devTotalBytes < kReservedStart || m.devTotalBytes % m.sectorSize)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                   "btrfs on %s: %llu devices, this one of %llu bytes", name,
                                   static_cast<unsigned long long>(m.numDevices),
                                   static_cast<unsigned long long>(m.devTotalBytes));
  // A copy cut short still maps (what lies past its end counts, and a copy refuses it), but the
  // bitmap covers what the superblock gives this device: a device that holds less than half of
  // that is not taken for this file system's.
  int64_t length = 0;
  err = view->length(&length);
  if (err.code < 0) return err.Push(HERE, "Couldn't measure %s", name);
  if (m.devTotalBytes / 2 > static_cast<uint64_t>(length))
    return JxErrorUtil::ErrorErrNo(HERE, ENOSPC,
                                   "%s holds %lld bytes, less than half of the %llu its btrfs "
                                   "superblock gives it: a copy cut short",
                                   name, static_cast<long long>(length),
                                   static_cast<unsigned long long>(m.devTotalBytes));
  err = m.readSystemChunks(HERE);
  if (err.code < 0) return err;
  blockSize = static_cast<int>(m.sectorSize);
  blockCount = static_cast<long long>(m.devTotalBytes / m.sectorSize);
  fsSize = static_cast<long long>(m.devTotalBytes);
  return FsParser::init();
}

CVoError FsParserBtrfs::getBmp(int chunkSize, void** bmp, long long* bmpSize) {
  return buildBitmap(HERE, BitmapRules{true, false}, chunkSize, bmp, bmpSize);
}

std::string FsParserBtrfs::journalState() {
  return impl_->logRoot ? "log tree present (replayed at mount)" : "clean (no log tree)";
}

void FsParserBtrfs::Impl::markPhysical(uint64_t physical, uint64_t length) {
  if (length == 0 || chunkBytes == 0) return;
  const uint64_t first = physical / chunkBytes;
  if (first >= nChunks) return;
  const uint64_t last = std::min((physical + (length - 1)) / chunkBytes, nChunks - 1);
  fsbmp::setChunkRange(bitmap, first, last + 1);
}

CVoError FsParserBtrfs::Impl::markLogical(const JxCodeLocation& where, uint64_t logical,
                                          uint64_t length, Chunk** holder) {
  if (length == 0 && !holder) return CVoError();
  Chunk* c = chunkAt(logical);
  if (!c || length == 0 || length > c->length - (logical - c->start))
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                   "Extent %llu+%llu of %s lies outside the chunks",
                                   static_cast<unsigned long long>(logical),
                                   static_cast<unsigned long long>(length), fs.devPath.c_str());
  forEachLocal(*c, logical, length, [this](uint64_t p, uint64_t n) { markPhysical(p, n); });
  if (holder) *holder = c;
  return CVoError();
}

CVoError FsParserBtrfs::Impl::walkExtentTree(const JxCodeLocation& where) {
  const char* dev = fs.devPath.c_str();
  return walkTree(where, "extent tree", extentRoot.bytenr, extentRoot.level, extentRoot.generation,
                  [&](const Key& k, const unsigned char* data, uint32_t size) -> CVoError {
                    uint64_t length;
                    if (k.type == kTypeExtentItem) {
                      length = k.offset;
                    } else if (k.type == kTypeMetadataItem) {
                      length = nodeSize;
                    } else if (k.type == kTypeBlockGroupItem) {
                      if (blockGroupRoot.found) return CVoError();  // kept in their own tree
                      Chunk* c = chunkAt(k.objectid);
                      if (!c || c->start != k.objectid || c->length != k.offset ||
                          size < static_cast<uint32_t>(kBlockGroupItemSize))
                        return JxErrorUtil::ErrorErrNo(
                            FSBMP_AT(where), EIO, "Block group %llu+%llu of %s matches no chunk",
                            static_cast<unsigned long long>(k.objectid),
                            static_cast<unsigned long long>(k.offset), dev);
                      c->hasGroup = true;
                      c->groupUsed = decodeLE64(data + kOffBgUsed);
                      c->groupFlags = decodeLE64(data + kOffBgFlags);
                      return CVoError();
                    } else {
                      return CVoError();
                    }
                    Chunk* c = nullptr;
                    CVoError err = markLogical(where, k.objectid, length, &c);
                    if (err.code < 0) return err;
                    c->counted += length;
                    return CVoError();
                  });
}

CVoError FsParserBtrfs::Impl::walkBlockGroups(const JxCodeLocation& where) {
  const char* dev = fs.devPath.c_str();
  auto take = [&](Chunk* c, const unsigned char* data, uint32_t size) -> CVoError {
    if (size < static_cast<uint32_t>(kBlockGroupItemSize))
      return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                     "Block group item at %llu of %s is cut short",
                                     static_cast<unsigned long long>(c->start), dev);
    c->hasGroup = true;
    c->groupUsed = decodeLE64(data + kOffBgUsed);
    c->groupFlags = decodeLE64(data + kOffBgFlags);
    return CVoError();
  };
  if (blockGroupRoot.found) {
    return walkTree(where, "block-group tree", blockGroupRoot.bytenr, blockGroupRoot.level,
                    blockGroupRoot.generation,
                    [&](const Key& k, const unsigned char* data, uint32_t size) -> CVoError {
                      if (k.type != kTypeBlockGroupItem) return CVoError();
                      Chunk* c = chunkAt(k.objectid);
                      if (!c || c->start != k.objectid || c->length != k.offset)
                        return JxErrorUtil::ErrorErrNo(
                            FSBMP_AT(where), EIO, "Block group %llu+%llu of %s matches no chunk",
                            static_cast<unsigned long long>(k.objectid),
                            static_cast<unsigned long long>(k.offset), dev);
                      return take(c, data, size);
                    });
  }
  // In the extent tree, among the extents: looked up one by one.
  std::vector<unsigned char> data;
  BlockCache seen;
  for (auto& entry : chunks) {
    Chunk& c = entry.second;
    Key key;
    key.objectid = c.start;
    key.type = kTypeBlockGroupItem;
    key.offset = c.length;
    bool found = false;
    CVoError err = findItem(where, "extent tree", extentRoot, key, &data, &found, &seen);
    if (err.code < 0) return err;
    if (!found) continue;
    err = take(&c, data.data(), static_cast<uint32_t>(data.size()));
    if (err.code < 0) return err;
  }
  return CVoError();
}

CVoError FsParserBtrfs::Impl::walkFreeSpaceTree(const JxCodeLocation& where) {
  const char* dev = fs.devPath.c_str();
  Chunk* group = nullptr;  // the block group whose free space is being read
  uint64_t cursor = 0;     // the end of its last free extent
  auto finish = [&]() {
    if (!group) return;
    const uint64_t end = group->start + group->length;
    forEachLocal(*group, cursor, end - cursor,
                 [this](uint64_t p, uint64_t n) { markPhysical(p, n); });
    group->counted = group->length - group->counted;  // free bytes become used ones
    group = nullptr;
  };
  uint64_t skipStart = 0, skipEnd = 0;  // a block group no chunk holds any more
  auto freeRange = [&](uint64_t start, uint64_t length) -> CVoError {
    if (!group && start >= skipStart && start < skipEnd && length <= skipEnd - start)
      return CVoError();
    if (!group || start < cursor || length > group->start + group->length - start)
      return JxErrorUtil::ErrorErrNo(
          FSBMP_AT(where), EIO, "Free space %llu+%llu of %s lies outside its block group",
          static_cast<unsigned long long>(start), static_cast<unsigned long long>(length), dev);
    forEachLocal(*group, cursor, start - cursor,
                 [this](uint64_t p, uint64_t n) { markPhysical(p, n); });
    cursor = start + length;
    group->counted += length;  // free, until finish
    return CVoError();
  };
  CVoError err = walkTree(
      where, "free-space tree", freeSpaceRoot.bytenr, freeSpaceRoot.level, freeSpaceRoot.generation,
      [&](const Key& k, const unsigned char* data, uint32_t size) -> CVoError {
        if (k.type == kTypeFreeSpaceInfo) {
          finish();
          skipStart = skipEnd = 0;
          Chunk* c = chunkAt(k.objectid);
          // mkfs.btrfs leaves the info of its first, temporary block groups behind once it has
          // removed them: a range no chunk touches is passed over with its extents.
          auto next = chunks.lower_bound(k.objectid);
          if (!c && k.offset > 0 && k.offset <= UINT64_MAX - k.objectid &&
              (next == chunks.end() || next->first >= k.objectid + k.offset)) {
            skipStart = k.objectid;
            skipEnd = k.objectid + k.offset;
            return CVoError();
          }
          if (!c || c->start != k.objectid || c->length != k.offset || c->freeSpaceInfo ||
              size < static_cast<uint32_t>(kFreeSpaceInfoSize))
            return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                           "Free-space info %llu+%llu of %s matches no chunk",
                                           static_cast<unsigned long long>(k.objectid),
                                           static_cast<unsigned long long>(k.offset), dev);
          group = c;
          group->freeSpaceInfo = true;
          group->counted = 0;
          cursor = c->start;
          return CVoError();
        }
        if (k.type == kTypeFreeSpaceExtent) return freeRange(k.objectid, k.offset);
        if (k.type != kTypeFreeSpaceBitmap) return CVoError();
        // One bit per sector, set where it is free.
        const uint64_t bits = k.offset / sectorSize;
        if (!group && k.objectid >= skipStart && k.objectid < skipEnd &&
            k.offset <= skipEnd - k.objectid)
          return CVoError();
        if (k.offset % sectorSize || (bits + 7) / 8 != size || !group || k.objectid < cursor ||
            k.offset > group->start + group->length - k.objectid)
          return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                         "Free-space bitmap %llu+%llu of %s is not sane",
                                         static_cast<unsigned long long>(k.objectid),
                                         static_cast<unsigned long long>(k.offset), dev);
        uint64_t i = 0;
        while (i < bits) {
          if (!(data[i / 8] & (1u << (i % 8)))) {
            ++i;
            continue;
          }
          uint64_t j = i + 1;
          while (j < bits && (data[j / 8] & (1u << (j % 8)))) ++j;
          CVoError e = freeRange(k.objectid + i * sectorSize, (j - i) * sectorSize);
          if (e.code < 0) return e;
          i = j;
        }
        return CVoError();
      });
  if (err.code < 0) return err;
  finish();
  return CVoError();
}

CVoError FsParserBtrfs::Impl::walkDevExtents(const JxCodeLocation& where) {
  const char* dev = fs.devPath.c_str();
  return walkTree(where, "device tree", devRoot.bytenr, devRoot.level, devRoot.generation,
                  [&](const Key& k, const unsigned char* data, uint32_t size) -> CVoError {
                    if (k.type != kTypeDevExtent || k.objectid != devid) return CVoError();
                    if (size < static_cast<uint32_t>(kDevExtentSize))
                      return JxErrorUtil::ErrorErrNo(
                          FSBMP_AT(where), EIO, "Dev extent at %llu of %s is cut short",
                          static_cast<unsigned long long>(k.offset), dev);
                    const uint64_t length = decodeLE64(data + kOffDevExtentLength);
                    const uint64_t chunkStart = decodeLE64(data + kOffDevExtentChunkOffset);
                    if (length > devTotalBytes || k.offset > devTotalBytes - length)
                      return JxErrorUtil::ErrorErrNo(
                          FSBMP_AT(where), EIO, "Dev extent %llu+%llu of %s lies past the device",
                          static_cast<unsigned long long>(k.offset),
                          static_cast<unsigned long long>(length), dev);
                    // Accounted for: a data, metadata or system block group whose chunk has a
                    // stripe here.
                    auto it = chunks.find(chunkStart);
                    bool accounted = false;
                    if (it != chunks.end()) {
                      const Chunk& c = it->second;
                      for (const Stripe& s : c.stripes)
                        if (s.devid == devid && s.offset == k.offset && c.deviceLength() == length)
                          accounted = c.hasGroup && (c.groupFlags & kGroupTypeMask) != 0 &&
                                      (!usedFreeSpaceTree || c.freeSpaceInfo);
                    }
                    if (!accounted) {
                      fs.debug.Debug("FsParserBtrfs::getBmp", "dev extent %llu+%llu counted used",
                                     static_cast<unsigned long long>(k.offset),
                                     static_cast<unsigned long long>(length));
                      markPhysical(k.offset, length);
                    }
                    return CVoError();
                  });
}

CVoError FsParserBtrfs::Impl::walkLog(const JxCodeLocation& where) {
  if (logRoot == 0) return CVoError();
  const char* dev = fs.devPath.c_str();
  auto markBlock = [&](uint64_t at) { (void)markLogical(where, at, nodeSize); };
  auto fileItems = [&](const Key& k, const unsigned char* data, uint32_t size) -> CVoError {
    if (k.type != kTypeExtentData) return CVoError();
    if (size <= static_cast<uint32_t>(kOffFileExtentType))
      return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                     "A file extent of the log tree of %s is cut short", dev);
    const uint8_t type = data[kOffFileExtentType];
    if (type == kFileExtentInline) return CVoError();
    if ((type != kFileExtentRegular && type != kFileExtentPrealloc) ||
        size < static_cast<uint32_t>(kFileExtentRegularSize))
      return JxErrorUtil::ErrorErrNo(
          FSBMP_AT(where), EIO, "A file extent of the log tree of %s is of type %u", dev, type);
    const uint64_t at = decodeLE64(data + kOffFileExtentDiskBytenr);
    if (at == 0) return CVoError();
    return markLogical(where, at, decodeLE64(data + kOffFileExtentDiskNumBytes));
  };
  return walkTree(
      where, "log root tree", logRoot, logRootLevel, 0,
      [&](const Key& k, const unsigned char* data, uint32_t size) -> CVoError {
        if (k.type != kTypeRootItem || k.objectid != kTreeLogId) return CVoError();
        if (size < static_cast<uint32_t>(kRootItemMinSize))
          return JxErrorUtil::ErrorErrNo(
              FSBMP_AT(where), EIO, "A root item of the log root tree of %s is cut short", dev);
        return walkTree(where, "log tree", decodeLE64(data + kOffRootBytenr), data[kOffRootLevel],
                        decodeLE64(data + kOffRootGeneration), fileItems, markBlock);
      },
      markBlock);
}

CVoError FsParserBtrfs::walkBitmap(const JxCodeLocation& where, const ChunkLayout& layout,
                                   unsigned char* bitmap) {
  Impl& m = *impl_;
  m.bitmap = bitmap;
  m.chunkBytes = static_cast<uint64_t>(layout.chunkSize);
  m.nChunks = layout.nChunks;
  struct Reset {
    Impl& m;
    ~Reset() { m.bitmap = nullptr; }
  } reset{m};
  CVoError err = m.readChunkTree(where);
  if (err.code < 0) return err;
  err = m.findRoots(where);
  if (err.code < 0) return err;
  for (auto& entry : m.chunks) {
    Chunk& c = entry.second;
    c.hasGroup = false;
    c.freeSpaceInfo = false;
    c.counted = 0;
  }
  // What is never in a chunk: the first MiB and the superblock copies.
  m.markPhysical(0, kReservedStart);
  for (uint64_t off : kSuperOffsets)
    if (off + kSuperSize <= m.devTotalBytes) m.markPhysical(off, kSuperSize);

  const uint64_t fst = kCompatRoFreeSpaceTree | kCompatRoFreeSpaceTreeValid;
  m.usedFreeSpaceTree = (m.compatRo & fst) == fst && m.freeSpaceRoot.found;
  if (m.usedFreeSpaceTree) {
    err = m.walkBlockGroups(where);
    if (err.code >= 0) err = m.walkFreeSpaceTree(where);
  } else {
    if (m.blockGroupRoot.found) err = m.walkBlockGroups(where);
    if (err.code >= 0) err = m.walkExtentTree(where);
  }
  if (err.code < 0) return err;
  for (auto& entry : m.chunks) {
    Chunk& c = entry.second;
    if (!c.hasGroup || (m.usedFreeSpaceTree && !c.freeSpaceInfo)) {
      debug.Debug("FsParserBtrfs::getBmp", "chunk %llu: no %s, counted used",
                  static_cast<unsigned long long>(c.start),
                  c.hasGroup ? "free-space info" : "block group");
      for (const Stripe& s : c.stripes)
        if (s.devid == m.devid) m.markPhysical(s.offset, c.deviceLength());
      continue;
    }
    if (c.groupFlags != c.type)
      return JxErrorUtil::ErrorErrNo(
          FSBMP_AT(where), EIO, "Block group %llu of %s has flags 0x%llx, its chunk type 0x%llx",
          static_cast<unsigned long long>(c.start), devPath.c_str(),
          static_cast<unsigned long long>(c.groupFlags), static_cast<unsigned long long>(c.type));
    // The free-space tree may list the strips that hold superblock copies as free or leave
    // them out (mkfs.btrfs does one, the kernel the other): anything between is sound.
    const uint64_t slack = m.usedFreeSpaceTree ? m.superBytes(c) : 0;
    const uint64_t expected = c.groupUsed;
    if (c.counted < expected || c.counted - expected > slack)
      return JxErrorUtil::ErrorErrNo(
          FSBMP_AT(where), EIO,
          "Block group %llu of %s says %llu bytes are used, but the %s adds up to %llu",
          static_cast<unsigned long long>(c.start), devPath.c_str(),
          static_cast<unsigned long long>(expected),
          m.usedFreeSpaceTree ? "free-space tree" : "extent tree",
          static_cast<unsigned long long>(c.counted));
  }
  err = m.walkDevExtents(where);
  if (err.code < 0) return err;
  return m.walkLog(where);
}

CVoError FsParserBtrfs::addMember(const std::string& path) {
  Impl& m = *impl_;
  Impl::Member member;
  member.path = path;
  member.file.reset(new CVoFile);
  CVoError err = member.file->Open(path.c_str(), fsbmp::kDeviceOpenFlags, fsbmp::kDeviceOpenMode);
  if (err.code < 0) return err.Push(HERE, "Couldn't open %s for reading", path.c_str());
  member.view = std::make_shared<fsbmp::FileView>(member.file.get());
  unsigned char copy[kSuperSize];
  uint32_t got = 0;
  err = member.view->readAt(static_cast<int64_t>(kSuperOffsets[0]), copy, kSuperSize, &got);
  if (err.code < 0 || got != static_cast<uint32_t>(kSuperSize))
    return JxErrorUtil::ErrorErrNo(HERE, EINVAL, "%s holds no btrfs superblock", path.c_str());
  int type = 0;
  const std::string why = m.checkSuper(copy, kSuperOffsets[0], &type);
  if (!why.empty())
    return JxErrorUtil::ErrorErrNo(HERE, EINVAL, "The btrfs superblock of %s %s", path.c_str(),
                                   why.c_str());
  if (memcmp(copy + kOffSbFsid, m.fsid, 16) != 0)
    return JxErrorUtil::ErrorErrNo(HERE, EINVAL, "%s belongs to btrfs %s, not %s (%s)",
                                   path.c_str(), formatUuid(copy + kOffSbFsid).c_str(),
                                   formatUuid(m.fsid).c_str(), devPath.c_str());
  const uint64_t id = decodeLE64(copy + kOffSbDevItem + kOffDevId);
  if (id == m.devid || m.members.count(id))
    return JxErrorUtil::ErrorErrNo(HERE, EINVAL, "%s is device %llu of %s, named already",
                                   path.c_str(), static_cast<unsigned long long>(id),
                                   formatUuid(m.fsid).c_str());
  memcpy(member.uuid, copy + kOffSbDevItem + kOffDevUuid, 16);
  m.members.emplace(id, std::move(member));
  // A chunk tree that could not be read without this member is read again.
  if (m.chunkTreeError.code < 0) {
    m.chunkTreeRead = false;
    m.chunkTreeError = CVoError();
  }
  return CVoError();
}

std::vector<FsParser::Property> FsParserBtrfs::properties() {
  Impl& m = *impl_;
  std::vector<Property> out;
  auto text = [&](const char* key, const std::string& value) { out.push_back({key, value}); };
  auto number = [&](const char* key, unsigned long long value) {
    out.push_back(Property::ofNumber(key, static_cast<long long>(value)));
    out.back().value = std::to_string(value);  // as unsigned text
  };
  char label[kLabelSize + 1];
  memcpy(label, m.sb + kOffSbLabel, kLabelSize);
  label[kLabelSize] = 0;
  text("label", label);
  text("fsid", formatUuid(m.fsid));
  number("devid", m.devid);
  number("devices", m.numDevices);
  // Profiles come from the chunk tree, which may need the other devices.
  const CVoError err = m.readChunkTree(HERE);
  auto profiles = [&](uint64_t type) {
    if (err.code < 0) return std::string("unknown (") + err.rootMessage() + ")";
    std::string names;
    for (const auto& entry : m.chunks) {
      if (!(entry.second.type & type)) continue;
      const std::string p = profileName(entry.second.type);
      if (("," + names + ",").find("," + p + ",") == std::string::npos)
        names += (names.empty() ? "" : ",") + p;
    }
    return names.empty() ? std::string("none") : names;
  };
  text("data_profile", profiles(kGroupData));
  text("metadata_profile", profiles(kGroupMetadata));
  text("system_profile", profiles(kGroupSystem));
  text("csum_type", csumName(m.csumType));
  number("node_size", m.nodeSize);
  number("sector_size", m.sectorSize);
  text("log_tree", m.logRoot ? "present" : "none");
  const uint64_t fst = kCompatRoFreeSpaceTree | kCompatRoFreeSpaceTreeValid;
  text("map_from", (m.compatRo & fst) == fst ? "free-space tree" : "extent tree");
  return out;
}
