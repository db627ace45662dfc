// btrfs maps against the dump-tree oracle (tests/btrfs/btrfs_images.cpp), one table of variants:
// mkfs options, profiles over several devices, checksum types, what a mount leaves behind
// (compression, reflinks, snapshots, resize and balance, a log tree), and for a few of them end
// to end: a copy holding only the mapped chunks passes btrfs check and a scrub and keeps every
// file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "btrfs/btrfs_images.h"
#include "common/testutil.h"

using namespace fsbmp_test;
using btrfs_test::Image;

namespace {

std::string quote(const std::string& s) {
  return "'" + s + "'";
}

// Files written through a mount, with a list of their sums (sums.sha) written last, outside
// the file system.
#define FILL_FILES                                                                             \
  "mkdir -p d/e && head -c 3000000 /dev/urandom > big && for i in $(seq 1 60); do "            \
  "head -c $((i * 2500)) /dev/urandom > d/f$i; done && head -c 3000 /dev/urandom > d/e/small " \
  "&& rm d/f*5 "
#define SUMS " && find . -type f | sort | xargs sha256sum > {sums}"

struct Variant {
  const char* name;
  int devices;
  const char* size;  // of each device
  const char* mkfs;  // options; the devices follow
  const char*
      fill;  // sh run in the mounted root ({img}: the first device, {sums}, {snap}), or null
  const char* mountOptions;
  bool endToEnd;      // the mapped-only copy checked, scrubbed and its files compared
  bool needsMembers;  // a device's tree blocks lie on the others too
};

const Variant kVariants[] = {
    {"default", 1, "128M", "", FILL_FILES SUMS, "", true, false},
    {"mixed", 1, "64M", "-M -r {dir}", nullptr, "", false, false},
    {"node4k", 1, "128M", "-n 4096 -r {dir}", nullptr, "", false, false},
    {"node64k", 1, "128M", "-n 65536", FILL_FILES, "", false, false},
    // 64 KiB sectors, as on Power: this kernel doesn't mount them.
    {"sector64k", 1, "128M", "-s 65536 -n 65536 -r {dir}", nullptr, "", false, false},
    {"no_fst", 1, "128M", "-R ^free-space-tree -r {dir}", nullptr, "", false, false},
    {"xxhash", 1, "128M", "--csum xxhash -r {dir}", nullptr, "", false, false},
    {"sha256", 1, "128M", "--csum sha256 -r {dir}", nullptr, "", false, false},
    {"blake2", 1, "128M", "--csum blake2 -r {dir}", nullptr, "", false, false},
    // Compressed extents, reflinks and a snapshot, the originals partly removed.
    {"cow", 1, "128M", "",
     FILL_FILES " && yes fsbmp | head -c 4000000 > text && cp --reflink=always big big.ref && "
                "btrfs -q subvolume snapshot . snap && rm big d/f1* && sync" SUMS,
     "compress=zstd", true, false},
    // Made smaller than its device, filled, grown to it and rebalanced: block groups moved and
    // emptied. (This kernel refuses to shrink a loop device's btrfs with EINVAL.)
    {"resized", 1, "256M", "-b 160M",
     FILL_FILES " && rm -r d && btrfs -q filesystem resize max . && "
                "btrfs -q balance start --full-balance . && sync",
     "", false, false},
    // fsync after the last commit, the image copied while mounted: the log tree holds the file.
    // A commit the kernel makes on its own between the fsync and the copy leaves no log tree:
    // then again, after a commit, up to five times.
    {"dirty_log", 1, "128M", "",
     FILL_FILES " && sync && for i in 1 2 3 4 5; do head -c 700000 /dev/urandom > logged && "
                "sync logged && cp --sparse=always {img} {snap} && if btrfs inspect-internal "
                "dump-super {snap} | grep -Eq '^log_root[[:space:]]+[1-9]'; then break; fi; "
                "sync; done" SUMS,
     "commit=300", true, false},
    {"raid1", 2, "128M", "-d raid1 -m raid1", FILL_FILES, "", false, false},
    {"raid0", 2, "128M", "-d raid0 -m raid0", FILL_FILES, "", false, true},
    {"raid10", 4, "128M", "-d raid10 -m raid10", FILL_FILES, "", false, true},
    {"raid5", 3, "128M", "-d raid5 -m raid5", FILL_FILES, "", false, true},
    {"raid6", 3, "128M", "-d raid6 -m raid1c3", FILL_FILES, "", false, false},
};

void PrintTo(const Variant& v, std::ostream* os) {
  *os << v.name;
}

// The content tree mkfs -r copies in.
const std::string& contentDir() {
  static std::string dir;
  if (dir.empty()) {
    dir = scratchPath("btrfs-content");
    mustRun("mkdir -p " + quote(dir) + "/a/b && head -c 2000000 /dev/urandom > " + quote(dir) +
            "/big && for i in $(seq 1 40); do head -c $((i * 3000)) /dev/urandom > " + quote(dir) +
            "/a/b/f$i; done && echo small > " + quote(dir) + "/a/s");
  }
  return dir;
}

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

struct Made {
  std::string skip;  // why it could not be made
  std::string sums;  // the file list with sums, where the fill wrote one
  std::vector<Image> devices;
};

const Made& made(const Variant& v) {
  static std::map<std::string, Made> all;
  auto found = all.find(v.name);
  if (found != all.end()) return found->second;
  Made& m = all[v.name];
  std::vector<std::string> files;
  std::string list;
  for (int i = 0; i < v.devices; ++i) {
    files.push_back(scratchPath(std::string(v.name) + "-" + std::to_string(i) + ".img"));
    list += " " + quote(files.back());
    mustRun("rm -f " + quote(files.back()) + " && truncate -s " + v.size + " " +
            quote(files.back()));
  }
  mustRun("mkfs.btrfs -q -f " + replaceAll(v.mkfs, "{dir}", quote(contentDir())) + list);
  if (v.fill) {
    m.sums = scratchPath(std::string(v.name) + ".sha");
    const std::string snap = scratchPath(std::string(v.name) + "-snap.img");
    std::string script = replaceAll(v.fill, "{sums}", quote(m.sums));
    script = replaceAll(replaceAll(script, "{img}", quote(files[0])), "{snap}", quote(snap));
    m.skip = btrfs_test::withMount(files, script, v.mountOptions);
    if (!m.skip.empty()) return m;
    if (std::string(v.fill).find("{snap}") != std::string::npos) files[0] = snap;
  }
  for (size_t i = 0; i < files.size(); ++i) {
    m.devices.push_back(btrfs_test::describe(files, i));
    EXPECT_EQ(m.devices.back().failure, "") << v.name;
  }
  return m;
}

// The parser of device `which`, the others named as members where `withMembers`.
std::unique_ptr<FsParser> open(const Made& m, size_t which, bool withMembers, CVoError* err) {
  std::unique_ptr<FsParser> p(FsParser::init(m.devices[which].path, err));
  if (!p) return p;
  EXPECT_EQ(p->fsType, FsParser::kBtrfs);
  for (size_t i = 0; withMembers && i < m.devices.size(); ++i) {
    if (i == which) continue;
    *err = p->addMember(m.devices[i].path);
    if (err->code < 0) return nullptr;
  }
  return p;
}

// A copy of the device holding only the chunks the map calls used, zeros elsewhere.
std::string mappedOnlyCopy(const Image& im, const ChunkBitmap& bmp, int chunkSize,
                           const std::string& to) {
  mustRun("rm -f " + quote(to) + " && truncate -s " + std::to_string(im.devSize) + " " + quote(to));
  int in = ::open(im.path.c_str(), O_RDONLY), out = ::open(to.c_str(), O_WRONLY);
  std::vector<char> buf(static_cast<size_t>(chunkSize));
  for (long long c = 0; c < bmp.nChunks && in >= 0 && out >= 0; ++c) {
    if (!bmp.test(c)) continue;
    ssize_t n = pread(in, buf.data(), buf.size(), c * chunkSize);
    if (n > 0) {
      EXPECT_EQ(pwrite(out, buf.data(), static_cast<size_t>(n), c * chunkSize), n);
    }
  }
  if (in >= 0) close(in);
  if (out >= 0) close(out);
  return to;
}

class BtrfsVariant : public ::testing::TestWithParam<Variant> {
 protected:
  void SetUp() override {
    FSBMP_REQUIRE_TOOL("mkfs.btrfs");
    FSBMP_REQUIRE_TOOL("btrfs");
    m_ = &made(GetParam());
    if (!m_->skip.empty()) GTEST_SKIP() << GetParam().name << ": " << m_->skip;
    for (const Image& im : m_->devices) ASSERT_EQ(im.failure, "");
  }
  const Made* m_ = nullptr;
};

// The variants whose devices hold tree blocks of each other, and those checked end to end.
class BtrfsMembers : public BtrfsVariant {};
class BtrfsEndToEnd : public BtrfsVariant {};

std::vector<Variant> variantsWhere(bool Variant::*flag) {
  std::vector<Variant> some;
  for (const Variant& v : kVariants)
    if (v.*flag) some.push_back(v);
  return some;
}

std::string variantName(const ::testing::TestParamInfo<Variant>& p) {
  return p.param.name;
}

// Each device by itself against the oracle, at the sector size and a few larger chunks; the
// oracle's extents add up to each block group's used bytes.
TEST_P(BtrfsVariant, EachDeviceMapsAsTheOracle) {
  const Variant& v = GetParam();
  for (size_t d = 0; d < m_->devices.size(); ++d) {
    const Image& im = m_->devices[d];
    SCOPED_TRACE(std::string(v.name) + " device " + std::to_string(d));
    for (const auto& [start, used] : im.blockGroupUsed) {
      auto sum = im.extentSum.find(start);
      EXPECT_EQ(sum == im.extentSum.end() ? 0 : sum->second, used) << "block group " << start;
    }
    if (std::string(v.name) == "dirty_log") {
      EXPECT_NE(im.logRoot, 0u) << "no log tree: recipe broke";
    }
    CVoError err;
    std::unique_ptr<FsParser> p = open(*m_, d, v.needsMembers, &err);
    ASSERT_TRUE(p) << err.toString();
    EXPECT_EQ(p->blockSize, im.blockSize);
    for (int chunk : {im.blockSize, 64 << 10, 1 << 20, 16 << 20}) {
      if (chunk < im.blockSize) continue;
      ChunkBitmap got;
      err = getBitmap(p.get(), chunk, &got);
      ASSERT_GE(err.code, 0) << err.toString();
      EXPECT_TRUE(mapsAsOracle(got, im, PastEnd::kClear, chunk, im.devSize));
    }
  }
}

// Without the other members, a device whose tree blocks lie partly elsewhere is refused, naming
// a device missing; one whose blocks all happen to lie on it maps as the oracle says. Striped
// metadata leaves at least one device of each variant wanting the others.
TEST_P(BtrfsMembers, MissingMemberIsNamed) {
  const Variant& v = GetParam();
  int refused = 0;
  for (size_t d = 0; d < m_->devices.size(); ++d) {
    SCOPED_TRACE(std::string(v.name) + " device " + std::to_string(d));
    CVoError err;
    std::unique_ptr<FsParser> p = open(*m_, d, false, &err);
    ChunkBitmap got;
    if (p) err = getBitmap(p.get(), 1 << 20, &got);
    if (err.code >= 0) {
      EXPECT_TRUE(
          mapsAsOracle(got, m_->devices[d], PastEnd::kClear, 1 << 20, m_->devices[d].devSize));
      continue;
    }
    ++refused;
    bool named = false;
    const std::string text = err.toString();
    for (size_t o = 0; o < m_->devices.size(); ++o) {
      const std::string id = std::to_string(m_->devices[o].devid);
      if (o != d && text.find(m_->devices[o].devUuid) != std::string::npos &&
          (text.find("devid " + id) != std::string::npos ||
           text.find("device " + id) != std::string::npos))
        named = true;
    }
    EXPECT_TRUE(named) << text;
  }
  EXPECT_GT(refused, 0) << "every device of " << v.name << " mapped by itself";
}

// The mapped chunks alone make a file system that checks, scrubs and holds every file.
TEST_P(BtrfsEndToEnd, MappedOnlyCopyChecksScrubsAndKeepsTheFiles) {
  const Variant& v = GetParam();
  const Image& im = m_->devices[0];
  CVoError err;
  std::unique_ptr<FsParser> p = open(*m_, 0, false, &err);
  ASSERT_TRUE(p) << err.toString();
  ChunkBitmap got;
  ASSERT_GE(getBitmap(p.get(), 64 << 10, &got).code, 0);
  const std::string copy =
      mappedOnlyCopy(im, got, 64 << 10, scratchPath(std::string(v.name) + "-mapped.img"));
  std::string out;
  EXPECT_EQ(run("btrfs check --readonly --check-data-csum " + quote(copy), &out, true), 0) << out;
  // Mounting replays a log tree; the scrub reads every copy; the files as they were written.
  const std::string why = btrfs_test::withMount(
      {copy}, "btrfs scrub start -Bdr . && sha256sum --quiet -c " + quote(m_->sums));
  if (!why.empty()) GTEST_SKIP() << why;
  mustRun("rm -f " + quote(copy));
}

INSTANTIATE_TEST_SUITE_P(Variants, BtrfsVariant, ::testing::ValuesIn(kVariants), variantName);
INSTANTIATE_TEST_SUITE_P(Variants, BtrfsMembers,
                         ::testing::ValuesIn(variantsWhere(&Variant::needsMembers)), variantName);
INSTANTIATE_TEST_SUITE_P(Variants, BtrfsEndToEnd,
                         ::testing::ValuesIn(variantsWhere(&Variant::endToEnd)), variantName);

// Superblock edits, resealed so that only the edit is wrong: each refused with a clear error.
TEST(BtrfsRefusals, EditedSuperblocks) {
  FSBMP_REQUIRE_TOOL("mkfs.btrfs");
  const Made& m = made(kVariants[0]);
  if (!m.skip.empty()) GTEST_SKIP() << m.skip;
  struct Case {
    const char* name;
    void (*edit)(std::vector<unsigned char>* sb);
    int errNo;  // 0: any
    const char* says;
  } cases[] = {
      {"unknown incompat flag", [](std::vector<unsigned char>* sb) { (*sb)[0xbc + 7] |= 0x40; },
       ENOSYS, "incompat"},
      {"sector size not a power of two",
       [](std::vector<unsigned char>* sb) { putLE32(sb, 0x90, 4096 + 512); }, 0, "sector"},
      {"node size below the sector size",
       [](std::vector<unsigned char>* sb) { putLE32(sb, 0x94, 2048); }, 0, "node"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string copy = scratchPath("edited.img");
    copyFile(m.devices[0].path, copy);
    btrfs_test::editSuperblocks(copy, c.edit);
    std::string out;
    run("btrfs inspect-internal dump-super " + quote(copy) + " | grep '^csum\\s'", &out);
    EXPECT_NE(out.find("[match]"), std::string::npos) << "the edit left a bad checksum: " << out;
    CVoError err;
    std::vector<FsParser::Refusal> refusals;
    std::unique_ptr<FsParser> p(FsParser::init(copy, &err, &refusals));
    EXPECT_FALSE(p) << "the factory took it";
    bool refused = false;
    for (const FsParser::Refusal& r : refusals) {
      if (r.fsType != FsParser::kBtrfs) continue;
      refused = true;
      if (c.errNo) {
        EXPECT_EQ(r.error.errNo(), c.errNo) << r.error.toString();
      }
      EXPECT_NE(r.error.toString().find(c.says), std::string::npos) << r.error.toString();
    }
    EXPECT_TRUE(refused) << "the btrfs parser gave no refusal";
  }
}

}  // namespace
