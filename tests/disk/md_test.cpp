// md RAID members. This kernel has no md driver, so the tests write the members themselves: a real
// ext4 made by mkfs striped (or mirrored) over data areas, each superblock laid out as md's
// documentation has it and read back by `mdadm --examine`. Oracles: dumpe2fs's used blocks placed
// where the array puts them, and e2fsck and debugfs on the array put together again from copies
// of the members that hold only their mapped bytes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/oracle.h"
#include "common/testutil.h"
#include "core/device.h"
#include "disk/md_member.h"

using namespace fsbmp_test;

namespace {

const int64_t kBlock = 4096, kChunk = 64 * 1024, kMiB = 1 << 20;

// The file system the arrays hold: 32 MiB of ext4 with files, read by dumpe2fs. The zoned RAID0
// arrays hold one of 511 chunks whose files, most of them deleted again, leave used chunks
// scattered up to two thirds in.
const OracleImage& fsImage(bool zoned = false) {
  static std::unique_ptr<OracleImage> images[2];
  std::unique_ptr<OracleImage>& image = images[zoned];
  if (!image) {
    const ImageRecipe recipe =
        zoned ? ImageRecipe{"md_zones_fs", "ext2", "32704K",
                            "mkfs.ext4 -q -F -b 4096 -d {fragdir} {img} && debugfs -w -f {rmlist} "
                            "{img}",
                            0}
              : ImageRecipe{"md_fs", "ext2", "32M", "mkfs.ext4 -q -F -b 4096 -d {dir} {img}", 0};
    const std::string path = scratchPath(std::string(recipe.name) + ".img");
    const std::string failure = makeImageFile(recipe, path);
    image = readOracle("ext2", path);
    if (!failure.empty()) image->failure = failure;
  }
  return *image;
}

struct Md {
  const char* metadata;  // "0.90" (little-endian), "0.90be", "1.0", "1.1", "1.2"
  int level;
  int disks;
  bool bitmap = false;
  uint16_t lastRole = 0;  // the last member's role when nonzero (0xfffe: faulty)
  uint64_t resync = ~uint64_t(0);
  uint32_t layout10 = 0x102;      // RAID10: near 2; 0x201 far 2; 0x10201 offset 2
  std::vector<int64_t> kib = {};  // RAID0 over members of different sizes: each one's data
  uint32_t layout0 = 0;           // and the layout recorded: 1 original, 2 alternate, 0 none

  bool v090() const { return metadata[0] == '0'; }
  int64_t dataDisks() const {
    return level == 1                 ? 1
           : level >= 5 && level <= 6 ? disks - level + 4
           : level == 10              ? disks / 2
                                      : disks;
  }
  int64_t component(int d = 0) const {
    return kib.empty() ? 32 * kMiB / dataDisks() : kib[size_t(d)] * 1024;
  }
  int64_t chunks(int d) const { return component(d) / kChunk; }  // what md uses of it
  int64_t dataOffset() const { return metadata[2] == '1' || metadata[2] == '2' ? kMiB : 0; }
  int64_t bytes(int d = 0) const {
    return dataOffset() + component(d) + (v090() ? 128 : 64) * 1024;
  }
  int64_t superAt(int d = 0) const {
    if (v090()) return bytes(d) - 64 * 1024;
    if (metadata[2] == '0') return ((bytes(d) / 512 - 16) & ~int64_t(7)) * 512;
    return metadata[2] == '1' ? 0 : 4096;
  }
  // Where array chunk `cn` lies: {member, chunk of its data area, parity}, the copy to read first.
  std::vector<std::array<int64_t, 3>> places(int64_t cn) const {
    const int64_t n = disks;
    if (level == 1) return {{0, cn, 0}, {1, cn, 0}};
    // Zoned RAID0: from one member's end to the next longer one's, striped over the members that
    // reach past it; the original layout counts a zone's chunks from the array's start.
    for (int64_t start = 0, from = 0; level == 0 && !kib.empty();) {
      std::vector<int64_t> in;
      int64_t to = INT64_MAX;
      for (int d = 0; d < disks; ++d) {
        if (chunks(d) <= from) continue;
        in.push_back(d);
        to = std::min(to, chunks(d));
      }
      const int64_t m = static_cast<int64_t>(in.size()), k = cn - start;
      if (m == 0) return {};
      if (k < (to - from) * m) return {{in[size_t((layout0 == 1 ? cn : k) % m)], from + k / m, 0}};
      start += (to - from) * m;
      from = to;
    }
    if (level == 0) return {{cn % n, cn / n, 0}};
    if (level == -1) return {{cn / (component() / kChunk), cn % (component() / kChunk), 0}};
    // RAID10 near: the two copies side by side; far: RAID0 over the first half of each member,
    // and again over the second half one member on; offset: each row again below it, one on.
    if (level == 10 && layout10 == 0x102)
      return {{(2 * cn) % n, 2 * cn / n, 0}, {(2 * cn + 1) % n, (2 * cn + 1) / n, 0}};
    if (level == 10 && layout10 == 0x201)
      return {{cn % n, cn / n, 0}, {(cn + 1) % n, component() / kChunk / 2 + cn / n, 0}};
    if (level == 10) return {{cn % n, 2 * (cn / n), 0}, {(cn + 1) % n, 2 * (cn / n) + 1, 0}};
    // Left-symmetric: parity walks from the last member down, RAID6's Q just after it, and the
    // data follows them round.
    const int64_t q = level == 6 ? 1 : 0, data = n - 1 - q;
    const int64_t row = cn / data, parity = n - 1 - row % n;
    std::vector<std::array<int64_t, 3>> at = {{(parity + 1 + q + cn % data) % n, row, 0},
                                              {parity, row, 1}};
    if (q) at.push_back({(parity + 1) % n, row, 1});
    return at;
  }
};

// RAID0 members of different sizes (KiB of data): zones of 3, 2 and 1 members (the 12 KiB past
// the last whole chunk unused), or of 3 and 2.
const std::vector<int64_t> kThreeZones = {25 * 64, 125 * 64, 361 * 64 + 12},
                           kTwoZones = {243 * 64, 25 * 64, 243 * 64};

void put32(std::vector<unsigned char>* v, size_t at, uint32_t x, bool be) {
  be ? putBE32(v, at, x) : putLE32(v, at, x);
}
void put64(std::vector<unsigned char>* v, size_t at, uint64_t x) {
  putLE32(v, at, static_cast<uint32_t>(x));
  putLE32(v, at + 4, static_cast<uint32_t>(x >> 32));
}
uint32_t fold(uint64_t sum) {
  return static_cast<uint32_t>((sum & 0xffffffffu) + (sum >> 32));
}

// Member `dev`'s superblock, from md_p.h's layout.
std::vector<unsigned char> superblock(const Md& md, int dev) {
  const uint32_t layout = md.level == 5 || md.level == 6 ? 2
                          : md.level == 10               ? md.layout10
                                                         : md.layout0;
  std::vector<unsigned char> sb(4096, 0);
  if (md.v090()) {
    const bool be = md.metadata[4] == 'b';
    const uint32_t words[][2] = {{0, 0xa92b4efc},
                                 {2, 90},
                                 {5, 0x11223344},
                                 {7, uint32_t(md.level)},
                                 {8, uint32_t(md.component(dev) / 1024)},
                                 {9, uint32_t(md.disks)},
                                 {10, uint32_t(md.disks)},
                                 {13, 0x55667788},
                                 {14, 0x99aabbcc},
                                 {15, 0xddeeff00},
                                 {33, md.resync == ~uint64_t(0) ? 1u : 0u},
                                 {40, 7},
                                 {64, layout},
                                 {65, uint32_t(kChunk)}};
    for (const auto& w : words) put32(&sb, w[0] * 4, w[1], be);
    for (int d = 0; d < md.disks; ++d) {
      const uint16_t r = d == md.disks - 1 && md.lastRole ? md.lastRole : static_cast<uint16_t>(d);
      for (size_t base : {size_t(128 + 32 * d), size_t(992)}) {
        if (base == 992 && d != dev) continue;
        put32(&sb, 4 * base, uint32_t(d), be);
        put32(&sb, 4 * (base + 3), r == 0xfffe ? uint32_t(d) : r, be);
        put32(&sb, 4 * (base + 4), r == 0xfffe ? 1u : 6u, be);
      }
    }
    uint64_t sum = 0;
    for (size_t i = 0; i < 4096; i += 4) sum += be ? getBE32(sb, i) : getLE32(sb, i);
    put32(&sb, 38 * 4, fold(sum), be);
    return sb;
  }
  putLE32(&sb, 0, 0xa92b4efc);
  putLE32(&sb, 4, 1);
  putLE32(&sb, 8, (md.bitmap ? 1 : 0) | (md.layout0 ? 4096 : 0));  // 4096: the layout recorded
  for (int i = 0; i < 16; ++i) sb[16 + size_t(i)] = static_cast<unsigned char>(0xa0 + i);
  memcpy(&sb[32], "host:md0", 8);
  putLE32(&sb, 72, static_cast<uint32_t>(md.level));
  putLE32(&sb, 76, layout);
  put64(&sb, 80, static_cast<uint64_t>(md.component(dev) / 512));
  putLE32(&sb, 88, md.level == 1 || md.level == -1 ? 0 : uint32_t(kChunk / 512));
  putLE32(&sb, 92, static_cast<uint32_t>(md.disks));
  putLE32(&sb, 96, 8);  // the bitmap 4 KiB past the superblock
  put64(&sb, 128, static_cast<uint64_t>(md.dataOffset() / 512));
  put64(&sb, 136, static_cast<uint64_t>(md.component(dev) / 512));
  put64(&sb, 144, static_cast<uint64_t>(md.superAt(dev) / 512));
  putLE32(&sb, 160, static_cast<uint32_t>(dev));
  sb[168] = static_cast<unsigned char>(dev + 1);
  put64(&sb, 200, 7);
  put64(&sb, 208, md.resync);
  putLE32(&sb, 220, 384);
  for (int d = 0; d < 384; ++d) {
    const uint16_t r =
        d < md.disks ? (d == md.disks - 1 && md.lastRole ? md.lastRole : uint16_t(d)) : 0xffff;
    putLE16(&sb, 256 + 2 * size_t(d), r);
  }
  uint64_t sum = 0;
  for (size_t i = 0; i < 256 + 2 * 384; i += 4) sum += getLE32(sb, i);
  putLE32(&sb, 216, fold(sum));
  return sb;
}

// Writes each member: the file system's bytes where the array puts them (P and Q both as XOR:
// nothing here reads them), the superblock, and for `bitmap` md's bitmap header 4 KiB past it.
std::vector<std::string> writeMembers(const Md& md, const std::string& name) {
  const std::vector<unsigned char> fs = readFile(fsImage(!md.kib.empty()).path);
  std::vector<std::vector<unsigned char>> members;
  for (int d = 0; d < md.disks; ++d) members.emplace_back(size_t(md.bytes(d)), 0);
  for (int64_t cn = 0; cn * kChunk < static_cast<int64_t>(fs.size()); ++cn) {
    for (const auto& p : md.places(cn)) {
      unsigned char* to = &members[size_t(p[0])][size_t(md.dataOffset() + p[1] * kChunk)];
      for (int64_t i = 0; i < kChunk; ++i)
        to[i] = static_cast<unsigned char>(to[i] ^ fs[size_t(cn * kChunk + i)]);
    }
  }
  std::vector<std::string> paths;
  for (int d = 0; d < md.disks; ++d) {
    std::vector<unsigned char>& m = members[size_t(d)];
    const std::vector<unsigned char> sb = superblock(md, d);
    std::copy(sb.begin(), sb.end(), m.begin() + md.superAt(d));
    if (md.bitmap) {
      const size_t at = size_t(md.superAt(d) + 4096);
      putLE32(&m, at, 0x6d746962);
      putLE32(&m, at + 4, 4);
      std::copy(sb.begin() + 16, sb.begin() + 32, m.begin() + long(at) + 8);
      put64(&m, at + 24, 7);
      put64(&m, at + 40, static_cast<uint64_t>(md.component() / 512));
      putLE32(&m, at + 52, 1 << 20);
      putLE32(&m, at + 56, 5);
    }
    paths.push_back(scratchPath(name + "_" + std::to_string(d)));
    writeFile(paths.back(), m);
  }
  return paths;
}

struct Mapped {
  bool found = false;
  CVoError err;
  std::string content;
  std::vector<bool> used;  // per 4 KiB block
};

Mapped mapMember(const std::string& path, const std::vector<std::string>& others) {
  Mapped out;
  CVoFile file;
  EXPECT_GE(file.Open(path.c_str(), fsbmp::kDeviceOpenFlags, 0).code, 0);
  auto view = std::make_shared<fsbmp::FileView>(&file);
  int64_t length = 0;
  view->length(&length);
  FsDisk::Options options;
  options.members = others;
  fsbmp::LayerContext ctx;
  ctx.options = &options;
  ctx.name = path;
  std::unique_ptr<fsbmp::Layer> layer = fsbmp::probeMd(view, length, ctx, &out.found, &out.err);
  if (!layer) return out;
  for (const FsParser::Property& p : layer->properties())
    if (p.key == "content") out.content = p.value;
  out.used.assign(size_t(length / kBlock), false);
  CVoError err = layer->map(0, kBlock, [&](int64_t from, int64_t n) {
    for (int64_t b = from / kBlock; b < (from + n + kBlock - 1) / kBlock; ++b)
      out.used.at(size_t(b)) = true;
  });
  EXPECT_GE(err.code, 0) << err.toString();
  return out;
}

TEST(MdMember, MapsItsShareOfTheArray) {
  FSBMP_REQUIRE_TOOL("mdadm");
  // Zoned RAID0 in both layouts, and one whose last zone has one member, where no layout need be
  // recorded.
  const Md cases[] = {{"1.2", 1, 2},
                      {"1.2", 1, 2, true},
                      {"1.1", 1, 2},
                      {"1.0", 1, 2},
                      {"0.90", 1, 2},
                      {"0.90be", 1, 2},
                      {"1.2", 5, 3},
                      {"1.2", 0, 4},
                      {"1.2", 10, 4},
                      {"0.90", 5, 3},
                      {"1.2", 6, 4},
                      {"1.1", 10, 4, false, 0, ~uint64_t(0), 0x201},
                      {"1.2", 10, 4, false, 0, ~uint64_t(0), 0x10201},
                      {"1.2", -1, 2},
                      {"1.2", 0, 3, false, 0, ~uint64_t(0), 0, kThreeZones, 1},
                      {"1.1", 0, 3, false, 0, ~uint64_t(0), 0, kThreeZones, 2},
                      {"1.0", 0, 3, false, 0, ~uint64_t(0), 0, kTwoZones, 1},
                      {"1.2", 0, 3, false, 0, ~uint64_t(0), 0, kTwoZones, 2},
                      {"1.2", 0, 3, false, 0, ~uint64_t(0), 0, {1600, 1600, 461 * 64}, 0}};
  int k = 0;
  for (const Md& md : cases) {
    SCOPED_TRACE(std::string(md.metadata) + " raid" + std::to_string(md.level) +
                 (md.kib.empty() ? "" : " zoned, layout " + std::to_string(md.layout0)));
    const OracleImage& fs = fsImage(!md.kib.empty());
    ASSERT_EQ(fs.failure, "");
    ASSERT_EQ(fs.blockSize, kBlock);
    const std::vector<std::string> paths = writeMembers(md, "md" + std::to_string(k++));
    if (!md.v090() || md.metadata[4] != 'b') {
      const std::string ex = mustRun("mdadm --examine " + paths[0]);
      EXPECT_NE(ex.find("- correct"), std::string::npos) << ex;
      const std::string level = md.level < 0 ? "linear" : "raid" + std::to_string(md.level);
      EXPECT_NE(ex.find("Raid Level : " + level), std::string::npos) << ex;
      if (md.level == 10) {
        const char* layout = md.layout10 == 0x102   ? "near=2"
                             : md.layout10 == 0x201 ? "far=2"
                                                    : "offset=2";
        EXPECT_NE(ex.find(layout), std::string::npos) << ex;
      }
      if (md.layout0) {
        const char* layout = md.layout0 == 1 ? "Layout : original" : "Layout : alternate";
        EXPECT_NE(ex.find(layout), std::string::npos) << ex;
      }
      if (md.bitmap) {  // mdadm reads an internal bitmap only through a block device
        LoopDevice loop(paths[0]);
        if (loop.device.empty()) {
          printf("not checking the bitmap with mdadm: %s\n", loop.why.c_str());
        } else {
          const std::string bx = mustRun("mdadm --examine-bitmap " + loop.device);
          EXPECT_NE(bx.find("Sync Size : 32768"), std::string::npos) << bx;
        }
      }
    }
    std::vector<std::vector<unsigned char>> copies;
    for (int d = 0; d < md.disks; ++d) {
      std::vector<std::string> others = paths;
      others.erase(others.begin() + d);
      const Mapped got = mapMember(paths[size_t(d)], others);
      ASSERT_TRUE(got.found && got.err.code >= 0) << got.err.toString();
      // Expected: everything outside the data area, and the blocks the array puts here.
      std::vector<bool> want(got.used.size(), true);
      const int64_t first = md.dataOffset() / kBlock, per = kChunk / kBlock;
      std::fill(want.begin() + first, want.begin() + first + md.chunks(d) * per, false);
      for (int64_t b = 0; b < fs.blockCount; ++b) {
        if (!fs.used[size_t(b)]) continue;
        for (const auto& p : md.places(b / per)) {
          if (p[0] != d) continue;
          for (int64_t i = p[2] ? 0 : b % per; i < (p[2] ? per : b % per + 1); ++i)
            want[size_t(first + p[1] * per + i)] = true;
        }
      }
      EXPECT_EQ(got.used, want) << got.content;
      // The same through the tool, the member taken as a disk.
      std::string named;
      for (const std::string& o : others) named += " --member " + o;
      const std::string raw = scratchPath("md.bits");
      mustRunTool("bitmap " + paths[size_t(d)] + " -c 4096 -o " + raw + named);
      const std::vector<unsigned char> bits = readFile(raw);
      std::vector<bool> tool(want.size());
      for (size_t b = 0; b < tool.size() && b / 8 < bits.size(); ++b)
        tool[b] = (bits[b / 8] >> (b % 8)) & 1;
      EXPECT_EQ(tool, want);
      if (d == 0 && md.level == 5) {
        const std::string info = mustRunTool("info --json " + paths[0] + named);
        for (const char* fact : {"\"raid5\"", "\"clean\"", "4096-byte blocks\""})
          EXPECT_NE(info.find(fact), std::string::npos) << fact << " in " << info;
      }
      // The copy of this member: its mapped blocks only.
      std::vector<unsigned char> copy = readFile(paths[size_t(d)]);
      for (size_t b = 0; b < want.size(); ++b)
        if (!got.used[b])
          std::fill(copy.begin() + long(b) * kBlock, copy.begin() + long(b + 1) * kBlock, 0);
      copies.push_back(std::move(copy));
      if (md.level != 1 && d == 0) {
        const Mapped alone = mapMember(paths[0], {});
        EXPECT_NE(alone.content.find(md.disks == 3 ? "roles 1, 2 missing" : "missing"),
                  std::string::npos)
            << alone.content;
        EXPECT_EQ(std::count(alone.used.begin(), alone.used.end(), false), 0);
      }
    }
    // The array put together again from the copies (the first copy of each chunk) holds the file
    // system whole: e2fsck finds nothing wrong and every file reads as in the original.
    std::vector<unsigned char> array(fs.used.size() * size_t(kBlock));
    for (int64_t cn = 0; cn * kChunk < static_cast<int64_t>(array.size()); ++cn) {
      const auto p = md.places(cn)[0];
      const auto from = copies[size_t(p[0])].begin() + md.dataOffset() + p[1] * kChunk;
      std::copy(from, from + kChunk, array.begin() + cn * kChunk);
    }
    const std::string img = scratchPath("md_array.img"), dir = scratchPath("md_files");
    writeFile(img, array);
    EXPECT_EQ(run("e2fsck -fn " + img + " >/dev/null 2>&1"), 0);
    mustRun("rm -rf " + dir + " && mkdir -p " + dir + "/a " + dir + "/b && debugfs -R 'rdump / " +
            dir + "/a' " + fs.path + " 2>/dev/null && debugfs -R 'rdump / " + dir + "/b' " + img +
            " 2>/dev/null");
    EXPECT_EQ(run("diff -r " + dir + "/a " + dir + "/b"), 0);
    for (const std::string& p : paths) std::remove(p.c_str());
  }
}

// Members that cannot be read through: a damaged superblock is refused, an array that is not
// clean and whole counts used whole, saying why, as does a zoned RAID0 whose layout md would not
// trust (0.90 records none it trusts).
TEST(MdMember, CountsUsedWholeWhatItCannotTrust) {
  ASSERT_EQ(fsImage().failure, "");
  const char* kNoLayout = "RAID0 with members of different sizes and no recorded layout";
  struct Case {
    const char* name;
    Md md;
    size_t patchAt;  // in the superblock, 0 for none
    uint32_t value;
    const char* says;
  } cases[] = {
      {"checksum", {"1.2", 1, 2}, 40, 0x41414141, "checksum does not match"},
      {"checksum 0.90", {"0.90", 1, 2}, 40 * 4, 9, "checksum does not match"},
      {"degraded", {"1.2", 1, 2, false, 0xfffe}, 0, 0, "degraded (role 1 missing)"},
      {"degraded 0.90", {"0.90", 1, 2, false, 0xfffe}, 0, 0, "degraded (role 1 missing)"},
      {"resyncing", {"1.2", 1, 2, false, 0, 0}, 0, 0, "resyncing"},
      {"bitmap missing", {"1.2", 1, 2}, 8, 1, "bitmap is missing"},
      {"RAID0 layout on RAID1", {"1.2", 1, 2}, 8, 4096, "RAID0 layout recorded for another level"},
      {"zoned RAID0 without a layout",
       {"1.2", 0, 3, false, 0, ~uint64_t(0), 0, kThreeZones},
       0,
       0,
       kNoLayout},
      {"zoned RAID0 0.90",
       {"0.90", 0, 3, false, 0, ~uint64_t(0), 0, kTwoZones, 2},
       0,
       0,
       kNoLayout},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::string> paths = writeMembers(c.md, "mdbad");
    if (c.patchAt) {
      std::vector<unsigned char> v(4, 0);
      putLE32(&v, 0, c.value);
      patchFile(paths[0], uint64_t(c.md.superAt()) + c.patchAt, v);
      if (c.patchAt == 8) {  // the bitmap feature on, its checksum resealed, no bitmap there
        std::vector<unsigned char> sb = readAt(paths[0], uint64_t(c.md.superAt()), 4096);
        putLE32(&sb, 216, 0);
        uint64_t sum = 0;
        for (size_t i = 0; i < 1024; i += 4) sum += getLE32(sb, i);
        putLE32(&sb, 216, fold(sum));
        patchFile(paths[0], uint64_t(c.md.superAt()), sb);
      }
    }
    const Mapped got = mapMember(paths[0], {paths.begin() + 1, paths.end()});
    EXPECT_TRUE(got.found);
    const std::string says = got.err.code < 0 ? got.err.message() : got.content;
    EXPECT_NE(says.find(c.says), std::string::npos) << says;
    if (got.err.code >= 0) {
      EXPECT_EQ(std::count(got.used.begin(), got.used.end(), false), 0);
    }
  }
}

}  // namespace

// A RAID1 member with its superblock at the end (1.0), in an MBR partition of type fd: the
// partition is read as the member, not as the file system it starts with, so the superblock
// past the file system's end stays in the map.
TEST(MdMember, MemberInAPartition) {
  const OracleImage& fs = fsImage();
  ASSERT_EQ(fs.failure, "");
  const Md md{"1.0", 1, 2};
  const std::vector<std::string> paths = writeMembers(md, "mdpart");
  const std::string disk = scratchPath("md-disk.img");
  mustRun("rm -f " + disk + " && truncate -s " + std::to_string(md.bytes() + 2 * kMiB) + " " +
          disk + " && printf 'label: dos\\nstart=2048,size=" + std::to_string(md.bytes() / 512) +
          ",type=fd\\n' | sfdisk -q " + disk + " && dd if=" + paths[0] + " of=" + disk +
          " bs=1M seek=1 conv=notrunc status=none");
  CVoError err;
  std::unique_ptr<FsDisk> d(FsDisk::open(disk, &err));
  ASSERT_TRUE(d) << err.toString();
  ASSERT_EQ(d->partitions()[0].content, FsPartition::kLayer) << d->partitions()[0].why;
  EXPECT_EQ(d->partitions()[0].layer, "md");
  void* raw = nullptr;
  long long n = 0;
  ASSERT_GE(d->getBmp(kBlock, &raw, &n).code, 0);
  std::unique_ptr<unsigned char, void (*)(void*)> bits(static_cast<unsigned char*>(raw), free);
  const auto bit = [&](int64_t b) { return ((bits.get()[b / 8] >> (b % 8)) & 1) != 0; };
  const int64_t first = kMiB / kBlock;
  for (int64_t b = 0; b < md.bytes() / kBlock; ++b)
    ASSERT_EQ(bit(first + b), b >= md.component() / kBlock || fs.used[size_t(b)]) << b;
}
