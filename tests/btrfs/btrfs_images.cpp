#include "btrfs/btrfs_images.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "common/testutil.h"

using namespace fsbmp_test;

namespace btrfs_test {

namespace {

const uint64_t kMiB = 1 << 20;

std::string quote(const std::string& s) {
  return "'" + s + "'";
}

std::string memberList(const std::vector<std::string>& members) {
  std::string s;
  for (const std::string& m : members) s += " " + quote(m);
  return s;
}

// dump-super prints "name<tabs>value"; the value's first word.
std::map<std::string, std::string> superFields(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string name, value;
    if (words >> name >> value) fields.emplace(name, value);
  }
  return fields;
}

uint64_t profileBits(const std::string& typeText) {
  static const std::pair<const char*, uint64_t> names[] = {
      {"DATA", kData},   {"SYSTEM", kSystem},   {"METADATA", kMetadata}, {"RAID0", kRaid0},
      {"RAID1", kRaid1}, {"DUP", kDup},         {"RAID10", kRaid10},     {"RAID5", kRaid5},
      {"RAID6", kRaid6}, {"RAID1C3", kRaid1C3}, {"RAID1C4", kRaid1C4}};
  uint64_t bits = 0;
  std::istringstream in(typeText);
  std::string word;
  while (std::getline(in, word, '|'))
    for (const auto& [name, bit] : names)
      if (word == name) bits |= bit;
  return bits;
}

// One item line of dump-tree: "item N key (OBJ TYPE OFFSET) itemoff ...".
bool itemKey(const std::string& line, std::string* obj, std::string* type, uint64_t* offset) {
  char o[64], t[64];
  unsigned long long off;
  if (sscanf(line.c_str(), " item %*d key (%63s %63s %llu)", o, t, &off) != 3) return false;
  *obj = o;
  *type = t;
  *offset = off;
  return true;
}

// Tree blocks dump-tree prints: "leaf BYTENR items ..." or "node BYTENR level ...".
bool blockHeader(const std::string& line, uint64_t* bytenr) {
  unsigned long long b;
  if (sscanf(line.c_str(), "leaf %llu items", &b) == 1 ||
      sscanf(line.c_str(), "node %llu level", &b) == 1) {
    *bytenr = b;
    return true;
  }
  return false;
}

std::string dumpTree(const std::vector<std::string>& members, const std::string& what,
                     std::string* failure) {
  std::string out;
  if (run("btrfs inspect-internal dump-tree --noscan " + what + memberList(members), &out) != 0)
    *failure = "dump-tree " + what + " failed: " + out.substr(0, 400);
  return out;
}

class Mapper {
 public:
  explicit Mapper(Image* im) : im_(im) {}

  void markDevice(uint64_t from, uint64_t length) {
    const uint64_t sector = static_cast<uint64_t>(im_->blockSize);
    const uint64_t end = std::min(from + length, static_cast<uint64_t>(im_->blockCount) * sector);
    for (uint64_t s = from / sector; s * sector < end; ++s)
      im_->used[static_cast<size_t>(s)] = true;
  }

  // Every copy on this device of the logical bytes [start, start + length).
  void markLogical(uint64_t start, uint64_t length) {
    for (const Chunk& c : im_->chunks) {
      const uint64_t from = std::max(start, c.logical);
      const uint64_t to = std::min(start + length, c.logical + c.length);
      if (from < to) markInChunk(c, from - c.logical, to - c.logical);
    }
  }

 private:
  void markStripe(const Chunk& c, size_t index, uint64_t at, uint64_t length) {
    if (c.stripes[index].devid == im_->devid) markDevice(c.stripes[index].offset + at, length);
  }

  void markInChunk(const Chunk& c, uint64_t from, uint64_t to) {
    const size_t n = c.stripes.size();
    const uint64_t sl = c.stripeLen;
    while (from < to) {
      const uint64_t nr = from / sl;
      const uint64_t in = from % sl;
      const uint64_t piece = std::min(to - from, sl - in);
      if (c.type & (kRaid5 | kRaid6)) {
        const size_t parity = c.type & kRaid6 ? 2 : 1;
        const uint64_t dataStripes = n - parity;
        const uint64_t full = nr / dataStripes;
        const size_t rot = static_cast<size_t>(full % n);
        markStripe(c, (nr % dataStripes + rot) % n, full * sl + in, piece);
        for (size_t p = 0; p < parity; ++p)
          markStripe(c, (dataStripes + p + rot) % n, full * sl, sl);  // the whole parity strip
      } else if (c.type & kRaid0) {
        markStripe(c, nr % n, nr / n * sl + in, piece);
      } else if (c.type & kRaid10) {
        const uint64_t groups = n / static_cast<size_t>(c.subStripes);
        const size_t first = static_cast<size_t>(nr % groups) * static_cast<size_t>(c.subStripes);
        for (size_t i = 0; i < static_cast<size_t>(c.subStripes); ++i)
          markStripe(c, first + i, nr / groups * sl + in, piece);
      } else {
        for (size_t i = 0; i < n; ++i) markStripe(c, i, from, piece);  // single, DUP, RAID1*
      }
      from += piece;
    }
  }

  Image* im_;
};

void readChunks(const std::string& dump, Image* im) {
  std::istringstream in(dump);
  std::string line, obj, type;
  uint64_t offset;
  Chunk* c = nullptr;
  while (std::getline(in, line)) {
    if (itemKey(line, &obj, &type, &offset)) {
      c = nullptr;
      if (type == "CHUNK_ITEM") {
        im->chunks.emplace_back();
        c = &im->chunks.back();
        c->logical = offset;
      }
      continue;
    }
    if (!c) continue;
    unsigned long long a, b;
    int n, m;
    char t[256];
    if (sscanf(line.c_str(), " length %llu owner %*u stripe_len %llu type %255s", &a, &b, t) == 3) {
      c->length = a;
      c->stripeLen = b;
      c->type = profileBits(t);
    } else if (sscanf(line.c_str(), " num_stripes %d sub_stripes %d", &n, &m) == 2) {
      c->subStripes = m;
    } else if (sscanf(line.c_str(), " stripe %d devid %llu offset %llu", &n, &a, &b) == 3) {
      c->stripes.push_back({a, b});
    }
  }
}

// Extents and block groups of the extent tree (and of the block-group tree).
void readExtents(const std::string& dump, Image* im) {
  std::istringstream in(dump);
  std::string line, obj, type;
  uint64_t offset = 0, start = 0;
  bool blockGroup = false;
  auto addExtent = [im](uint64_t at, uint64_t length) {
    for (const Chunk& c : im->chunks)
      if (at >= c.logical && at < c.logical + c.length) im->extentSum[c.logical] += length;
    Mapper(im).markLogical(at, length);
  };
  while (std::getline(in, line)) {
    if (itemKey(line, &obj, &type, &offset)) {
      blockGroup = type == "BLOCK_GROUP_ITEM";
      start = std::strtoull(obj.c_str(), nullptr, 10);
      if (type == "EXTENT_ITEM") addExtent(start, offset);
      if (type == "METADATA_ITEM") addExtent(start, static_cast<uint64_t>(im->nodeSize));
      continue;
    }
    unsigned long long used;
    if (blockGroup && sscanf(line.c_str(), " block group used %llu", &used) == 1)
      im->blockGroupUsed[start] = used;
  }
}

// The log-root tree's blocks, the log trees it names with theirs, and their file extents.
void readLogTrees(Image* im) {
  std::vector<uint64_t> roots{im->logRoot};
  for (size_t r = 0; r < roots.size() && im->failure.empty(); ++r) {
    std::istringstream in(
        dumpTree(im->members, "--follow -b " + std::to_string(roots[r]), &im->failure));
    std::string line, obj, type;
    uint64_t offset = 0, bytenr = 0;
    bool rootItem = false;
    while (std::getline(in, line)) {
      unsigned long long a, b;
      if (blockHeader(line, &bytenr)) {
        im->logExtents.emplace_back(bytenr, static_cast<uint64_t>(im->nodeSize));
      } else if (itemKey(line, &obj, &type, &offset)) {
        rootItem = r == 0 && type == "ROOT_ITEM";
      } else if (rootItem &&
                 sscanf(line.c_str(), " generation %*u root_dirid %*u bytenr %llu", &a) == 1) {
        roots.push_back(a);
      } else if (sscanf(line.c_str(), " extent data disk byte %llu nr %llu", &a, &b) == 2 && a) {
        im->logExtents.emplace_back(a, b);
      }
    }
  }
  for (const auto& [at, length] : im->logExtents) Mapper(im).markLogical(at, length);
}

}  // namespace

uint64_t Image::usedBytes() const {
  return static_cast<uint64_t>(std::count(used.begin(), used.end(), true)) *
         static_cast<uint64_t>(blockSize);
}

Image describe(const std::vector<std::string>& members, size_t which) {
  Image im;
  im.members = members;
  im.path = members[which];
  struct stat st;
  im.devSize = stat(im.path.c_str(), &st) == 0 ? st.st_size : 0;
  std::string out;
  if (run("btrfs inspect-internal dump-super " + quote(im.path), &out) != 0) {
    im.failure = "dump-super failed: " + out;
    return im;
  }
  std::map<std::string, std::string> sb = superFields(out);
  auto number = [&sb](const char* name) { return std::strtoull(sb[name].c_str(), nullptr, 0); };
  im.blockSize = static_cast<int>(number("sectorsize"));
  im.nodeSize = static_cast<int>(number("nodesize"));
  im.csumType = static_cast<int>(number("csum_type"));
  im.compatRo = number("compat_ro_flags");
  im.incompat = number("incompat_flags");
  im.logRoot = number("log_root");
  im.numDevices = static_cast<int>(number("num_devices"));
  im.devid = number("dev_item.devid");
  im.devUuid = sb["dev_item.uuid"];
  im.fsid = sb["fsid"];
  im.label = sb["label"] == "generation" ? "" : sb["label"];  // an empty label prints nothing
  if (im.blockSize <= 0 || im.nodeSize <= 0) {
    im.failure = "dump-super gave no geometry:\n" + out;
    return im;
  }
  im.blockCount = static_cast<long long>(number("dev_item.total_bytes") / im.blockSize);
  im.used.assign(static_cast<size_t>(im.blockCount), false);

  readChunks(dumpTree(members, "-t chunk", &im.failure), &im);
  readExtents(dumpTree(members, "-t extent", &im.failure), &im);
  if (im.compatRo & 8) readExtents(dumpTree(members, "-t 11", &im.failure), &im);
  if (im.logRoot) readLogTrees(&im);

  Mapper mapper(&im);
  mapper.markDevice(0, kMiB);
  for (uint64_t copy : {64ull << 10, 64ull << 20, 256ull << 30})
    if (copy + 4096 <= static_cast<uint64_t>(im.blockCount) * im.blockSize)
      mapper.markDevice(copy, 4096);
  // Dev extents of this device whose chunk has no block group of a known type.
  std::istringstream dev(dumpTree(members, "-t dev", &im.failure));
  std::string line, obj, type;
  uint64_t offset = 0;
  bool ours = false;
  while (std::getline(dev, line)) {
    unsigned long long chunk, length;
    if (itemKey(line, &obj, &type, &offset)) {
      ours = type == "DEV_EXTENT" && std::strtoull(obj.c_str(), nullptr, 10) == im.devid;
    } else if (ours && sscanf(line.c_str(), " chunk_objectid %*u chunk_offset %llu length %llu",
                              &chunk, &length) == 2) {
      bool known = im.blockGroupUsed.count(chunk) != 0;
      for (const Chunk& c : im.chunks)
        if (c.logical == chunk && !(c.type & (kData | kMetadata | kSystem))) known = false;
      if (!known) mapper.markDevice(offset, length);
    }
  }
  if (im.chunks.empty() && im.failure.empty()) im.failure = "dump-tree listed no chunks";
  return im;
}

void readDumpTree(OracleImage* image) {
  Image* im = static_cast<Image*>(image);
  *im = describe({image->path}, 0);
}

std::string withMount(const std::vector<std::string>& members, const std::string& script,
                      const std::string& options) {
  if (geteuid() != 0) return "loop mounts need root";
  if (!haveCommand("mount")) return "mount is missing";
  std::vector<std::unique_ptr<LoopDevice>> loops;
  std::string devices;
  for (const std::string& m : members) {
    loops.emplace_back(new LoopDevice(m));
    if (loops.back()->device.empty()) return loops.back()->why;
    devices += (devices.empty() ? "device=" : ",device=") + loops.back()->device;
  }
  static int serial = 0;
  const std::string dir = scratchPath("btrfs-mnt" + std::to_string(++serial));
  mkdir(dir.c_str(), 0700);
  std::string out;
  if (run("mount -t btrfs -o " + devices + (options.empty() ? "" : "," + options) + " " +
              quote(loops[0]->device) + " " + quote(dir),
          &out, true) != 0)
    return "couldn't mount btrfs through loop devices: " + out;
  struct Unmount {
    std::string dir;
    ~Unmount() {
      if (!dir.empty()) run("umount " + quote(dir), nullptr, true);
    }
  } unmount{dir};
  if (run("cd " + quote(dir) + " && (" + script + ")", &out, true) != 0) {
    ADD_FAILURE() << "couldn't fill the mounted btrfs: " << out;
    return "filling failed";
  }
  unmount.dir.clear();
  if (run("umount " + quote(dir), &out, true) != 0) {
    unmount.dir = dir;
    ADD_FAILURE() << "umount failed: " << out;
    return "umount failed";
  }
  return "";
}

void editSuperblocks(const std::string& path, void (*edit)(std::vector<unsigned char>* sb)) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return ADD_FAILURE() << "can't stat " << path, void();
  for (uint64_t at : {64ull << 10, 64ull << 20, 256ull << 30}) {
    if (at + 4096 > static_cast<uint64_t>(st.st_size)) continue;
    std::vector<unsigned char> sb = readAt(path, at, 4096);
    if (std::memcmp(sb.data() + 0x40, "_BHRfS_M", 8) != 0) continue;
    edit(&sb);
    putLE32(&sb, 0, ~crc32cBits(~0u, sb.data() + 32, sb.size() - 32));
    patchFile(path, at, sb);
  }
}

void resealSuperblocks(const std::string& path) {
  editSuperblocks(path, [](std::vector<unsigned char>*) {});
}

}  // namespace btrfs_test
