// The btrfs parser on images mkfs.btrfs makes here: damaged copies refused with a clear error
// (superblocks, flags, tree blocks), the newest sound superblock chosen, an empty block group
// left free, members checked, and what info reports against dump-super.
#include <regex>
#include <string>
#include <vector>

#include "btrfs/btrfs_images.h"
#include "common/testutil.h"
#include "fsbmp/fsbmpBtrfs.h"

using namespace fsbmp_test;

namespace {

std::string quote(const std::string& s) {
  return "'" + s + "'";
}

// A single-profile image with 4 KiB nodes, filled by mkfs from a directory of many small files,
// so that its extent tree has nodes above its leaves; made once.
const btrfs_test::Image& base() {
  static btrfs_test::Image image;
  if (image.path.empty()) {
    const std::string dir = scratchPath("parser-content");
    image.path = scratchPath("parser-base.img");
    mustRun("mkdir -p " + quote(dir) +
            " && for i in $(seq 1 300); do head -c 5000 /dev/urandom > " + quote(dir) +
            "/f$i; done && truncate -s 128M " + quote(image.path) +
            " && mkfs.btrfs -q -f -n 4096 -m single -d single -r " + quote(dir) + " " +
            quote(image.path));
    image = btrfs_test::describe({image.path}, 0);
  }
  return image;
}

// Where logical byte `logical` of a single-profile image lies in the file.
uint64_t physical(const btrfs_test::Image& im, uint64_t logical) {
  for (const btrfs_test::Chunk& c : im.chunks)
    if (logical >= c.logical && logical < c.logical + c.length)
      return c.stripes.at(0).offset + (logical - c.logical);
  ADD_FAILURE() << "no chunk holds " << logical;
  return 0;
}

// The extent tree's root: its address and level, as dump-tree prints them.
void extentRoot(const std::string& path, uint64_t* at, int* level) {
  std::smatch m;
  const std::string out = mustRun("btrfs inspect-internal dump-tree -t extent " + quote(path));
  ASSERT_TRUE(std::regex_search(out, m, std::regex("(node|leaf) (\\d+) level (\\d+)")));
  *at = std::stoull(m[2]);
  *level = std::stoi(m[3]);
}

// Rewrites the tree block at `logical` through `edit` and restores its crc32c.
void editTreeBlock(const std::string& path, uint64_t offset,
                   void (*edit)(std::vector<unsigned char>*), bool reseal) {
  std::vector<unsigned char> block = readAt(path, offset, 4096);
  edit(&block);
  if (reseal) putLE32(&block, 0, ~crc32cBits(~0u, block.data() + 32, block.size() - 32));
  patchFile(path, offset, block);
}

struct Damage {
  const char* name;
  void (*apply)(const std::string& copy);
  bool atProbe;  // refused by the probe, else by getBmp
  int errNo;
  const char* why;  // in the error's text
};

void flipLabelByte(std::vector<unsigned char>* b) {
  (*b)[0x12b] ^= 0x5a;
}

const Damage kDamages[] = {
    {"every superblock copy fails its checksum",
     [](const std::string& copy) {
       for (uint64_t at : {64ull << 10, 64ull << 20}) patchFile(copy, at + 0x12b, {0x5a});
     },
     true, 38, "fails its checksum"},
    {"primary superblock without its magic",
     [](const std::string& copy) {
       patchFile(copy, (64 << 10) + 0x40, {0, 0, 0, 0});
     },
     true, 38, "no btrfs magic"},
    {"unknown incompat flag",
     [](const std::string& copy) {
       btrfs_test::editSuperblocks(copy,
                                   [](std::vector<unsigned char>* sb) { (*sb)[0xbc + 2] |= 0x10; });
     },
     true, 38, "unknown incompat flag 0x100000"},
    {"zoned",
     [](const std::string& copy) {
       btrfs_test::editSuperblocks(copy,
                                   [](std::vector<unsigned char>* sb) { (*sb)[0xbc + 1] |= 0x10; });
     },
     true, 38, "ZONED"},
    {"seed device",
     [](const std::string& copy) {
       btrfs_test::editSuperblocks(copy,
                                   [](std::vector<unsigned char>* sb) { (*sb)[0x38 + 4] |= 1; });
     },
     true, 38, "SEEDING"},
    {"extent tree node pointing at itself",
     [](const std::string& copy) {
       uint64_t at = 0;
       int level = 0;
       extentRoot(copy, &at, &level);
       ASSERT_GT(level, 0) << "the extent tree has one level: the image is too small";
       std::vector<unsigned char> self(8);
       for (int i = 0; i < 8; ++i) self[i] = static_cast<unsigned char>(at >> (8 * i));
       static std::vector<unsigned char> pointer;
       pointer = self;
       editTreeBlock(
           copy, physical(base(), at),
           [](std::vector<unsigned char>* b) {
             std::copy(pointer.begin(), pointer.end(), b->begin() + 101 + 17);
           },
           true);
     },
     false, 5, "is at level 1, not 0"},
    {"extent tree root fails its checksum",
     [](const std::string& copy) {
       uint64_t at = 0;
       int level = 0;
       extentRoot(copy, &at, &level);
       editTreeBlock(copy, physical(base(), at), flipLabelByte, false);
     },
     false, 5, "fails its checksum"},
};

class BtrfsDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(BtrfsDamage, IsRefusedWithAClearError) {
  FSBMP_REQUIRE_TOOL("mkfs.btrfs");
  FSBMP_REQUIRE_TOOL("btrfs");
  const Damage& d = GetParam();
  ASSERT_EQ(base().failure, "");
  const std::string copy = scratchPath("parser-damaged.img");
  copyFile(base().path, copy);
  d.apply(copy);
  const int fds = countOpenFds();
  {
    CVoError err;
    FsParserBtrfs p(copy, &err);
    if (!d.atProbe) {
      ASSERT_GE(err.code, 0) << err.toString();
      ChunkBitmap got;
      err = getBitmap(&p, 65536, &got);
      EXPECT_FALSE(got.bits) << "a failed map left a bitmap";
    }
    ASSERT_LT(err.code, 0) << d.name << " was accepted";
    EXPECT_EQ(err.errNo(), d.errNo) << err.toString();
    EXPECT_NE(err.toString().find(d.why), std::string::npos) << err.toString();
  }
  EXPECT_EQ(countOpenFds(), fds);
}

INSTANTIATE_TEST_SUITE_P(Cases, BtrfsDamage, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& param) {
                           std::string n = param.param.name;
                           for (char& c : n)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

// A primary superblock that fails its checksum gives way to the mirror at 64 MiB; the map is
// the same.
TEST(BtrfsParser, SoundMirrorStandsInForADamagedPrimary) {
  FSBMP_REQUIRE_TOOL("mkfs.btrfs");
  ASSERT_EQ(base().failure, "");
  const std::string copy = scratchPath("parser-mirror.img");
  copyFile(base().path, copy);
  patchFile(copy, (64 << 10) + 0x12b, {0x5a});
  CVoError err;
  FsParserBtrfs p(copy, &err);
  ASSERT_GE(err.code, 0) << err.toString();
  ChunkBitmap got;
  ASSERT_GE(getBitmap(&p, 65536, &got).code, 0);
  EXPECT_TRUE(mapsAsOracle(got, base(), PastEnd::kClear, 65536, base().devSize));
}

// A fresh file system's data block group is allocated and empty: its chunks are free, and the
// metadata that the extent tree lists is used.
TEST(BtrfsParser, EmptyBlockGroupIsFree) {
  FSBMP_REQUIRE_TOOL("mkfs.btrfs");
  const std::string path = scratchPath("parser-empty.img");
  mustRun("truncate -s 128M " + quote(path) + " && mkfs.btrfs -q -f " + quote(path));
  const btrfs_test::Image im = btrfs_test::describe({path}, 0);
  ASSERT_EQ(im.failure, "");
  CVoError err;
  FsParserBtrfs p(path, &err);
  ASSERT_GE(err.code, 0) << err.toString();
  ChunkBitmap got;
  ASSERT_GE(getBitmap(&p, 65536, &got).code, 0);
  EXPECT_TRUE(mapsAsOracle(got, im, PastEnd::kClear, 65536, im.devSize));
  bool sawEmpty = false;
  for (const btrfs_test::Chunk& c : im.chunks) {
    if (!(c.type & btrfs_test::kData) || im.blockGroupUsed.at(c.logical) != 0) continue;
    sawEmpty = true;
    for (uint64_t at = c.stripes[0].offset; at < c.stripes[0].offset + c.length; at += 65536)
      EXPECT_TRUE(at == (64u << 20) || !got.test(static_cast<long long>(at / 65536))) << at;
  }
  EXPECT_TRUE(sawEmpty) << "mkfs.btrfs made no empty data block group";
}

// info's fields against dump-super; a member of another file system, or this device again, is
// refused as a usage error.
TEST(BtrfsParser, PropertiesAndMembers) {
  FSBMP_REQUIRE_TOOL("mkfs.btrfs");
  ASSERT_EQ(base().failure, "");
  CVoError err;
  FsParserBtrfs p(base().path, &err);
  ASSERT_GE(err.code, 0) << err.toString();
  std::map<std::string, std::string> props;
  for (const FsParser::Property& prop : p.properties()) props[prop.key] = prop.value;
  EXPECT_EQ(props["fsid"], base().fsid);
  EXPECT_EQ(props["devid"], "1");
  EXPECT_EQ(props["csum_type"], "crc32c");
  EXPECT_EQ(props["node_size"], "4096");
  EXPECT_EQ(props["data_profile"], "single");
  EXPECT_EQ(props["metadata_profile"], "single");
  EXPECT_EQ(props["log_tree"], "none");
  EXPECT_EQ(props["map_from"], "free-space tree");

  const std::string other = scratchPath("parser-other.img");
  mustRun("truncate -s 128M " + quote(other) + " && mkfs.btrfs -q -f " + quote(other));
  for (const std::string& member : {other, base().path}) {
    err = p.addMember(member);
    EXPECT_EQ(err.errNo(), 22) << member << ": " << err.toString();
  }
}

}  // namespace
