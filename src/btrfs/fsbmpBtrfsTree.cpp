// Tree blocks read through the chunk map, from the first copy that verifies, and the bounded
// walks of whole trees and searches for one key.
#include <cerrno>
#include <cstring>
#include <iterator>
#include <unordered_set>
#include <vector>

#include "btrfs/fsbmpBtrfsImpl.h"
#include "btrfs/fsbmpBtrfsLayout.h"
#include "core/checksums.h"
#include "core/coding.h"
#include "core/device_view.h"
#include "core/location.h"

using namespace fsbmp::btrfs;
using fsbmp::decodeLE32;
using fsbmp::decodeLE64;

namespace {

std::string uuidText(const unsigned char* u) {
  char out[37];
  snprintf(out, sizeof out, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
           u[0], u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13],
           u[14], u[15]);
  return out;
}

}  // namespace

namespace fsbmp {
namespace btrfs {
std::string formatUuid(const unsigned char* u) {
  return uuidText(u);
}
}  // namespace btrfs
}  // namespace fsbmp

CVoError FsParserBtrfs::Impl::readTreeBlock(const JxCodeLocation& where, uint64_t logical,
                                            int level, uint64_t gen, unsigned char* buf) {
  const char* dev = fs.devPath.c_str();
  const unsigned long long at = static_cast<unsigned long long>(logical);
  Chunk* c = chunkAt(logical);
  if (!c || nodeSize > c->length || logical - c->start > c->length - nodeSize)
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                   "Tree block at %llu of %s lies outside the chunks", at, dev);
  const auto copies = copiesOf(*c, logical, nodeSize);
  if (copies.empty())
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                   "Tree block at %llu of %s crosses a stripe boundary", at, dev);
  std::string why;
  const Stripe* missing = nullptr;
  bool onlyShort = true;  // every copy tried lies past the end of its device
  for (const auto& copy : copies) {
    fsbmp::DeviceView* view = nullptr;
    if (copy.first->devid == devid) {
      view = fs.view.get();
    } else {
      auto m = members.find(copy.first->devid);
      if (m != members.end()) view = m->second.view.get();
    }
    if (!view) {
      if (!missing) missing = copy.first;
      continue;
    }
    const unsigned long long phys = static_cast<unsigned long long>(copy.second);
    const unsigned long long onDev = static_cast<unsigned long long>(copy.first->devid);
    uint32_t got = 0;
    CVoError err = copy.second > static_cast<uint64_t>(INT64_MAX)
                       ? JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO)
                       : view->readAt(static_cast<int64_t>(copy.second), buf, nodeSize, &got);
    char text[256];
    if (err.code < 0 || got != nodeSize) {
      if (err.code < 0) onlyShort = false;
      snprintf(text, sizeof text, "the copy at %llu of device %llu can't be read%s", phys, onDev,
               err.code < 0 ? "" : " (past the end of the device)");
    } else {
      onlyShort = false;
      text[0] = 0;
      unsigned char sum[32];
      err = checksum(where, csumType, buf + kCsumStart, nodeSize - kCsumStart, sum);
      if (err.code < 0) return err;
      const int hdrLevel = buf[kOffHdrLevel];
      const uint64_t hdrGen = decodeLE64(buf + kOffHdrGeneration);
      if (memcmp(sum, buf + kOffHdrCsum, csumBytes(csumType)) != 0 && fsbmp::kChecksumsRefuse)
        snprintf(text, sizeof text, "the copy at %llu of device %llu fails its checksum", phys,
                 onDev);
      else if (decodeLE64(buf + kOffHdrBytenr) != logical)
        snprintf(text, sizeof text, "the copy at %llu of device %llu says it is at %llu", phys,
                 onDev, static_cast<unsigned long long>(decodeLE64(buf + kOffHdrBytenr)));
      else if (memcmp(buf + kOffHdrFsid, metadataUuid, 16) != 0)
        snprintf(text, sizeof text, "the copy at %llu of device %llu belongs to file system %s",
                 phys, onDev, uuidText(buf + kOffHdrFsid).c_str());
      else if ((level >= 0 && hdrLevel != level) || hdrLevel >= kMaxLevel)
        snprintf(text, sizeof text, "the copy at %llu of device %llu is at level %d, not %d", phys,
                 onDev, hdrLevel, level);
      else if (gen != 0 && hdrGen != gen)
        snprintf(text, sizeof text,
                 "the copy at %llu of device %llu is of generation %llu, not %llu", phys, onDev,
                 static_cast<unsigned long long>(hdrGen), static_cast<unsigned long long>(gen));
      if (!text[0]) return CVoError();
    }
    if (!why.empty()) why += "; ";
    why += text;
  }
  if (missing) {
    const std::string uuid = uuidText(missing->uuid);
    if (!why.empty()) why += "; ";
    why += "a copy lies on devid " + std::to_string(missing->devid) + " (device uuid " + uuid +
           "), which was not named as a member";
    if (why.find("copy at") == std::string::npos)
      return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS, "Tree block at %llu of %s: %s", at,
                                     dev, why.c_str());
  }
  return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), onlyShort ? ENOSPC : EIO,
                                 "Tree block at %llu of %s: %s", at, dev, why.c_str());
}

namespace {

// One block of a walk: its contents, items, the next one to visit, and the keys its items must
// lie within: from `low` and below `high` (none when hasHigh is false).
struct Frame {
  std::vector<unsigned char> buf;
  uint64_t logical = 0;
  uint32_t items = 0;
  uint32_t next = 0;
  int level = 0;
  Key low;
  bool hasHigh = false;
  Key high;
};

}  // namespace

CVoError FsParserBtrfs::Impl::walkTree(const JxCodeLocation& where, const char* name,
                                       uint64_t logical, int level, uint64_t gen, const ItemFn& fn,
                                       const std::function<void(uint64_t)>& block) {
  const char* dev = fs.devPath.c_str();
  if (level < 0 || level >= kMaxLevel)
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO, "The %s of %s has a root at level %d",
                                   name, dev, level);
  std::unordered_set<uint64_t> visited;
  std::vector<Frame> stack;
  stack.reserve(kMaxLevel);
  // Reads a block and checks its items' table; pushes it.
  auto enter = [&](uint64_t at, int lvl, uint64_t g, const Key& low, bool hasHigh, const Key& high,
                   const Key* first) -> CVoError {
    if (!visited.insert(at).second)
      return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO, "The %s of %s reaches block %llu twice",
                                     name, dev, static_cast<unsigned long long>(at));
    Frame f;
    f.buf.resize(nodeSize);
    f.logical = at;
    f.level = lvl;
    f.low = low;
    f.hasHigh = hasHigh;
    f.high = high;
    CVoError err = readTreeBlock(where, at, lvl, g, f.buf.data());
    if (err.code < 0) return err.Push(FSBMP_AT(where), "Couldn't read the %s of %s", name, dev);
    const unsigned char* b = f.buf.data();
    f.items = decodeLE32(b + kOffHdrNritems);
    const uint32_t room = nodeSize - kHeaderSize;
    const uint32_t entry = lvl == 0 ? kItemSize : kKeyPtrSize;
    if (f.items > room / entry || (lvl > 0 && f.items == 0) || (f.items == 0 && first))
      return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                     "Block %llu of the %s of %s holds %u items",
                                     static_cast<unsigned long long>(at), name, dev, f.items);
    Key prev;
    for (uint32_t i = 0; i < f.items; ++i) {
      const unsigned char* e = b + kHeaderSize + static_cast<size_t>(i) * entry;
      const Key k = readKey(e);
      const bool inOrder = i == 0 ? compareKeys(k, low) >= 0 : compareKeys(prev, k) < 0;
      if (!inOrder || (hasHigh && compareKeys(k, high) >= 0) ||
          (i == 0 && first && compareKeys(k, *first) != 0))
        return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                       "Block %llu of the %s of %s has item %u out of order",
                                       static_cast<unsigned long long>(at), name, dev, i);
      if (lvl == 0) {
        const uint32_t off = decodeLE32(e + kOffItemDataOffset);
        const uint32_t size = decodeLE32(e + kOffItemDataSize);
        if (off > room || size > room - off || off < f.items * static_cast<uint32_t>(kItemSize))
          return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                         "Block %llu of the %s of %s has item %u outside it",
                                         static_cast<unsigned long long>(at), name, dev, i);
      }
      prev = k;
    }
    if (block) block(at);
    if (lvl > 0) {
      // The children are read next: let their reads start together.
      for (uint32_t i = 0; i < f.items; ++i) {
        const uint64_t child =
            decodeLE64(b + kHeaderSize + static_cast<size_t>(i) * kKeyPtrSize + kOffPtrBlock);
        const Chunk* c = chunkAt(child);
        if (!c || nodeSize > c->length || child - c->start > c->length - nodeSize) continue;
        for (const auto& copy : copiesOf(*c, child, nodeSize))
          if (copy.first->devid == devid && copy.second <= static_cast<uint64_t>(INT64_MAX)) {
            fs.view->willNeed(static_cast<int64_t>(copy.second), nodeSize);
            break;
          }
      }
    }
    stack.push_back(std::move(f));
    return CVoError();
  };
  Key none;
  CVoError err = enter(logical, level, gen, none, false, none, nullptr);
  if (err.code < 0) return err;
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next >= f.items) {
      stack.pop_back();
      continue;
    }
    const uint32_t i = f.next++;
    const unsigned char* b = f.buf.data();
    if (f.level == 0) {
      const unsigned char* e = b + kHeaderSize + static_cast<size_t>(i) * kItemSize;
      const uint32_t off = decodeLE32(e + kOffItemDataOffset);
      const uint32_t size = decodeLE32(e + kOffItemDataSize);
      err = fn(readKey(e), b + kHeaderSize + off, size);
      if (err.code < 0) return err;
      continue;
    }
    const unsigned char* e = b + kHeaderSize + static_cast<size_t>(i) * kKeyPtrSize;
    const Key k = readKey(e);
    Key high = f.high;
    bool hasHigh = f.hasHigh;
    if (i + 1 < f.items) {
      high = readKey(e + kKeyPtrSize);
      hasHigh = true;
    }
    const uint64_t child = decodeLE64(e + kOffPtrBlock);
    const uint64_t childGen = decodeLE64(e + kOffPtrGeneration);
    const int childLevel = f.level - 1;
    err = enter(child, childLevel, childGen, k, hasHigh, high, &k);  // may move `f`
    if (err.code < 0) return err;
  }
  return CVoError();
}

CVoError FsParserBtrfs::Impl::findRoots(const JxCodeLocation& where) {
  if (rootsFound) return CVoError();
  const uint64_t root = decodeLE64(sb + kOffSbRoot);
  const int level = sb[kOffSbRootLevel];
  CVoError err = walkTree(where, "root tree", root, level, generation,
                          [&](const Key& k, const unsigned char* data, uint32_t size) -> CVoError {
                            if (k.type != kTypeRootItem) return CVoError();
                            Root* r = k.objectid == kExtentTreeId       ? &extentRoot
                                      : k.objectid == kDevTreeId        ? &devRoot
                                      : k.objectid == kFreeSpaceTreeId  ? &freeSpaceRoot
                                      : k.objectid == kBlockGroupTreeId ? &blockGroupRoot
                                                                        : nullptr;
                            if (!r) return CVoError();
                            if (size < static_cast<uint32_t>(kRootItemMinSize))
                              return JxErrorUtil::ErrorErrNo(
                                  FSBMP_AT(where), EIO, "Root item of tree %llu of %s is cut short",
                                  static_cast<unsigned long long>(k.objectid), fs.devPath.c_str());
                            r->bytenr = decodeLE64(data + kOffRootBytenr);
                            r->generation = decodeLE64(data + kOffRootGeneration);
                            r->level = data[kOffRootLevel];
                            r->found = true;
                            return CVoError();
                          });
  if (err.code < 0) return err;
  if (!extentRoot.found || !devRoot.found)
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO, "The root tree of %s names no %s tree",
                                   fs.devPath.c_str(), extentRoot.found ? "device" : "extent");
  rootsFound = true;
  return CVoError();
}

CVoError FsParserBtrfs::Impl::readChunkTree(const JxCodeLocation& where) {
  if (chunkTreeRead) return chunkTreeError;
  chunkTreeRead = true;
  const char* dev = fs.devPath.c_str();
  bool sawThis = false;
  CVoError err = walkTree(
      where, "chunk tree", decodeLE64(sb + kOffSbChunkRoot), sb[kOffSbChunkRootLevel],
      decodeLE64(sb + kOffSbChunkRootGen),
      [&](const Key& k, const unsigned char* data, uint32_t size) -> CVoError {
        if (k.type == kTypeChunkItem)
          return addChunk(where, k.offset, data, size, "chunk tree", EIO);
        if (k.type != kTypeDevItem) return CVoError();
        if (size < static_cast<uint32_t>(kDevItemSize))
          return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                         "Device item %llu of %s is cut short",
                                         static_cast<unsigned long long>(k.offset), dev);
        if (memcmp(data + kOffDevFsid, metadataUuid, 16) != 0)
          return JxErrorUtil::ErrorErrNo(
              FSBMP_AT(where), ENOSYS,
              "%s has device %llu of another file system (%s): a seed device's sprout is not "
              "supported",
              dev, static_cast<unsigned long long>(decodeLE64(data + kOffDevId)),
              uuidText(data + kOffDevFsid).c_str());
        if (decodeLE64(data + kOffDevId) == devid) {
          if (memcmp(data + kOffDevUuid, devUuid, 16) != 0)
            return JxErrorUtil::ErrorErrNo(
                FSBMP_AT(where), EIO,
                "%s says it is device %llu (uuid %s), but the chunk tree's device %llu is %s", dev,
                static_cast<unsigned long long>(devid), uuidText(devUuid).c_str(),
                static_cast<unsigned long long>(devid), uuidText(data + kOffDevUuid).c_str());
          sawThis = true;
        }
        return CVoError();
      });
  if (err.code >= 0 && !sawThis)
    err = JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                  "The chunk tree of %s doesn't list its device %llu", dev,
                                  static_cast<unsigned long long>(devid));
  // Stripes on this device must lie within it.
  for (const auto& entry : chunks) {
    if (err.code < 0) break;
    const Chunk& c = entry.second;
    for (const Stripe& s : c.stripes)
      if (s.devid == devid && s.offset + c.deviceLength() > devTotalBytes)
        err = JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                      "Chunk at %llu of %s lies past the device's %llu bytes",
                                      static_cast<unsigned long long>(c.start), dev,
                                      static_cast<unsigned long long>(devTotalBytes));
  }
  chunkTreeError = err;
  return err;
}

CVoError FsParserBtrfs::Impl::findItem(const JxCodeLocation& where, const char* name,
                                       const Root& root, const Key& target,
                                       std::vector<unsigned char>* out, bool* found,
                                       BlockCache* seen) {
  const char* dev = fs.devPath.c_str();
  *found = false;
  std::vector<unsigned char> read(nodeSize);
  uint64_t at = root.bytenr;
  uint64_t gen = root.generation;
  int level = root.level;
  if (level < 0 || level >= kMaxLevel)
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO, "The %s of %s has a root at level %d",
                                   name, dev, level);
  for (;;) {
    const std::vector<unsigned char>* held = nullptr;
    if (seen) {
      auto kept = seen->find(at);
      if (kept != seen->end() && kept->second[kOffHdrLevel] == level &&
          (gen == 0 || decodeLE64(kept->second.data() + kOffHdrGeneration) == gen))
        held = &kept->second;
    }
    if (!held) {
      CVoError err = readTreeBlock(where, at, level, gen, read.data());
      if (err.code < 0) return err.Push(FSBMP_AT(where), "Couldn't read the %s of %s", name, dev);
      held = &read;
      if (seen) {
        // The nodes above the leaves stay; of the leaves, only the last one read.
        if (level == 0)
          for (auto it = seen->begin(); it != seen->end();)
            it = it->second[kOffHdrLevel] == 0 ? seen->erase(it) : std::next(it);
        held = &((*seen)[at] = read);
      }
    }
    const unsigned char* b = held->data();
    const uint32_t items = decodeLE32(b + kOffHdrNritems);
    const uint32_t room = nodeSize - kHeaderSize;
    const uint32_t entry = level == 0 ? kItemSize : kKeyPtrSize;
    if (items > room / entry)
      return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                     "Block %llu of the %s of %s holds %u items",
                                     static_cast<unsigned long long>(at), name, dev, items);
    int64_t pick = -1;
    Key prev;
    for (uint32_t i = 0; i < items; ++i) {
      const Key k = readKey(b + kHeaderSize + static_cast<size_t>(i) * entry);
      if (i > 0 && compareKeys(prev, k) >= 0)
        return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                       "Block %llu of the %s of %s has item %u out of order",
                                       static_cast<unsigned long long>(at), name, dev, i);
      prev = k;
      const int cmp = compareKeys(k, target);
      if (cmp <= 0 && (level > 0 || cmp == 0)) pick = i;
    }
    if (pick < 0) return CVoError();
    const unsigned char* e = b + kHeaderSize + static_cast<size_t>(pick) * entry;
    if (level == 0) {
      const uint32_t off = decodeLE32(e + kOffItemDataOffset);
      const uint32_t size = decodeLE32(e + kOffItemDataSize);
      if (off > room || size > room - off)
        return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), EIO,
                                       "Block %llu of the %s of %s has an item outside it",
                                       static_cast<unsigned long long>(at), name, dev);
      out->assign(b + kHeaderSize + off, b + kHeaderSize + off + size);
      *found = true;
      return CVoError();
    }
    at = decodeLE64(e + kOffPtrBlock);
    gen = decodeLE64(e + kOffPtrGeneration);
    --level;
  }
}
