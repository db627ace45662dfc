// Damaged XFS metadata, edited into copies of real images: every case ends in a clear error,
// without a crash, an over-read, a huge allocation, an endless walk or a leaked descriptor.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "common/testutil.h"
#include "core/device_view.h"
#include "fsbmp/fsbmpXFS.h"
#include "xfs_images.h"

using namespace fsbmp_test;
using namespace xfs_test;

namespace {

const char kInit[] = "CVoError FsParserXFS::init(const string&)";
const char kGetBmp[] = "virtual CVoError FsParserXFS::getBmp(int, void**, long long int*)";
const char kFindLeaf[] =
    "CVoError FsParserXFS::findLeaf(unsigned int, long long int, unsigned int)";
const char kVerify[] = "CVoError FsParserXFS::verifyBlockCRC32C(const void*)";

std::vector<unsigned char> be16(uint16_t v) {
  return {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
}
std::vector<unsigned char> be32(uint32_t v) {
  std::vector<unsigned char> b(4);
  putBE32(&b, 0, v);
  return b;
}

// `text` with each "%s" replaced by `path`.
std::string fmt(const std::string& text, const std::string& path) {
  std::string out = text;
  for (size_t at = out.find("%s"); at != std::string::npos; at = out.find("%s", at + path.size()))
    out.replace(at, 2, path);
  return out;
}

// What the probe left behind.
struct Probe {
  CVoError err;
  std::unique_ptr<FsParserXFS> parser;
  explicit Probe(const std::string& path) : parser(new FsParserXFS(path, &err)) {}
};

// The probe must accept the copy and getBmp (at the block size) must refuse it.
CVoError bitmapError(const std::string& path) {
  Probe p(path);
  EXPECT_GE(p.err.code, 0) << p.err.toString();
  if (p.err.code < 0) return p.err;
  void* bmp = reinterpret_cast<void*>(1);
  long long n = 7;
  CVoError err = p.parser->getBmp(p.parser->blockSize, &bmp, &n);
  EXPECT_LT(err.code, 0) << path;
  EXPECT_EQ(bmp, nullptr);
  EXPECT_EQ(n, 0);
  return err;
}

// Version-5 checksums of the primary superblock and of an AGF, restored after an edit that means
// to reach a check behind them.
uint64_t rootOffset(const Image& im, uint32_t ag) {
  return im.agOffset(ag) + static_cast<uint64_t>(im.ags[ag].byBlockRoot) * im.blockSize;
}
uint64_t agfOffset(const Image& im, uint32_t ag) {
  return im.agOffset(ag) + im.sectorSize;
}

// Version-5 checksums of the primary superblock and of an AGF, restored after an edit that means
// to reach a check behind them.
void resealSuperblock(const Image& im, const std::string& path) {
  if (im.version == 5) resealXfs(path, 0, static_cast<size_t>(im.sectorSize), 224);
}
void resealAgf(const Image& im, const std::string& path, uint32_t ag) {
  if (im.version == 5) resealXfs(path, agfOffset(im, ag), static_cast<size_t>(im.sectorSize), 216);
}

// The image as it stands, keeping every range hinted to it.
class HintLog : public fsbmp::DeviceView {
 public:
  explicit HintLog(const std::string& path) : whole_(&file_) {
    EXPECT_GE(file_.Open(path.c_str(), O_RDONLY, 0).code, 0) << path;
  }
  CVoError readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) override {
    return whole_.readAt(offset, buf, size, got);
  }
  CVoError length(int64_t* bytes) override { return whole_.length(bytes); }
  void willNeed(int64_t offset, int64_t size) override { hints.emplace_back(offset, size); }
  bool hinted(uint64_t offset) const {
    for (const auto& h : hints)
      if (static_cast<int64_t>(offset) >= h.first &&
          static_cast<int64_t>(offset) < h.first + h.second)
        return true;
    return false;
  }
  std::vector<std::pair<int64_t, int64_t>> hints;

 private:
  CVoFile file_;
  fsbmp::FileView whole_;
};

class XfsDamage : public ::testing::Test {
 protected:
  void SetUp() override {
    images();  // made before the descriptor count is taken
    fds_ = countOpenFds();
  }
  void TearDown() override { EXPECT_EQ(countOpenFds(), fds_) << "descriptor leaked"; }
  int fds_ = 0;
};

}  // namespace

TEST_F(XfsDamage, NotXfs) {
  std::string zeros = scratchPath("zeros.img");
  mustRun("truncate -s 1m " + zeros);
  Probe p(zeros);
  EXPECT_EQ(p.err.errNo(), ENOSYS);
  EXPECT_EQ(p.err.message(), fmt("There is no XFS magic on %s", zeros));
  EXPECT_STREQ(p.err.location(0).function, kInit);
  EXPECT_STREQ(p.err.location(0).file, "fsbmpXFS");
  EXPECT_FALSE(p.parser->agRoots);
  EXPECT_FALSE(p.parser->nodeBuf);

  // The factory's refusals name XFS's among them.
  CVoError err;
  std::vector<FsParser::Refusal> refusals;
  EXPECT_EQ(FsParser::init(zeros, &err, &refusals), nullptr);
  bool sawXfs = false;
  for (const FsParser::Refusal& r : refusals) {
    if (r.fsType != FsParser::kXFS) continue;
    sawXfs = true;
    EXPECT_EQ(r.error.message(), fmt("There is no XFS magic on %s", zeros));
  }
  EXPECT_TRUE(sawXfs);
}

TEST_F(XfsDamage, AgHeaderMagics) {
  const Image& im = images().v5;
  std::string sb = copyOf(im, "sbcopy.img");
  patchFile(sb, im.agOffset(1), be32(0x12345678));
  Probe a(sb);
  EXPECT_EQ(a.err.errNo(), ENOSYS);
  EXPECT_EQ(a.err.message(),
            fmt("AG 1 of %s has incorrect SB magic number: 0x12345678 instead of 0x58465342.", sb));

  // With 4096-byte sectors the AGF is at byte 4096 of the AG.
  std::string agf = copyOf(im, "agfmagic.img");
  ASSERT_EQ(im.sectorSize, 4096);
  patchFile(agf, agfOffset(im, 1), be32(0x58414747));
  Probe b(agf);
  EXPECT_EQ(b.err.errNo(), ENOSYS);
  EXPECT_EQ(b.err.message(),
            fmt("Incorrect AGF magic of AG 1 of %s: 0x58414747 instead of 0x58414746", agf));
}

TEST_F(XfsDamage, UnusableSuperblock) {
  const Image& im = images().v5;
  struct Case {
    size_t offset;
    std::vector<unsigned char> bytes;
    const char* message;
  };
  const Case cases[] = {
      {102, be16(0), "XFS SB of %s has unusable sector size 0 (block size 4096)"},
      {102, be16(1536), "XFS SB of %s has unusable sector size 1536 (block size 4096)"},
      {102, be16(8192), "XFS SB of %s has unusable sector size 8192 (block size 4096)"},
      {4, be32(1000), "XFS SB of %s has unusable block size 1000"},
      {4, be32(256), "XFS SB of %s has unusable block size 256"},
      {4, be32(131072), "XFS SB of %s has unusable block size 131072"},
      {84, be32(0), "XFS SB of %s has unusable AG size of 0 blocks"},
      {88, be32(0xFFFFFFFF),
       "XFS SB of %s describes 4294967295 AGs of 5120 blocks, more than its 75497472 bytes hold"},
      {88, be32(6),
       "XFS SB of %s describes 6 AGs of 5120 blocks, more than its 75497472 bytes hold"},
  };
  std::string path = scratchPath("badsb.img");
  for (const Case& c : cases) {
    copyFile(im.path, path);
    patchFile(path, c.offset, c.bytes);
    resealSuperblock(im, path);
    Probe p(path);
    EXPECT_EQ(p.err.errNo(), ENOSYS) << c.message;
    EXPECT_EQ(p.err.message(), fmt(c.message, path));
    EXPECT_FALSE(p.parser->agRoots) << "allocated before refusing: " << c.message;
  }

  // An AG longer than agBlocks would overlap its successor.
  copyFile(im.path, path);
  patchFile(path, agfOffset(im, 0) + 12, be32(im.agBlocks + 1));
  resealAgf(im, path, 0);
  Probe longAg(path);
  EXPECT_EQ(
      longAg.err.message(),
      fmt("AGF of AG 0 of %s gives a length of 5121 blocks, more than the 5120 of an AG", path));

  // No AGs at all: nothing is read and every chunk stays used.
  copyFile(im.path, path);
  patchFile(path, 88, be32(0));
  resealSuperblock(im, path);
  Probe none(path);
  ASSERT_GE(none.err.code, 0) << none.err.toString();
  EXPECT_EQ(none.parser->blockCount, 0);
  ChunkBitmap bits;
  ASSERT_GE(getBitmap(none.parser.get(), 65536, &bits).code, 0);
  EXPECT_EQ(bits.nChunks, im.devSize / 65536);
  for (long long c = 0; c < bits.nChunks; ++c) ASSERT_TRUE(bits.test(c)) << c;
}

TEST_F(XfsDamage, WrongMagicPerForm) {
  const Image& v5 = images().v5;
  std::string a = copyOf(v5, "v5abtb.img");
  patchFile(a, rootOffset(v5, 0), be32(0x41425442));  // the version-4 magic
  CVoError err = bitmapError(a);
  EXPECT_EQ(err.errNo(), ENOSYS);
  EXPECT_EQ(err.message(), "Couldn't find first free interval of AG 0");
  EXPECT_EQ(err.rootMessage(), "Invalid B+tree node block magic: 0x41425442 instead of 0x41423342");
  EXPECT_STREQ(err.location(0).function, kGetBmp);
  EXPECT_STREQ(err.location(1).function, kFindLeaf);

  const Image& v4 = images().v4;
  std::string b = copyOf(v4, "v4ab3b.img");
  patchFile(b, rootOffset(v4, 1), be32(0x41423342));  // the version-5 magic
  err = bitmapError(b);
  EXPECT_EQ(err.message(), "Couldn't find first free interval of AG 1");
  EXPECT_EQ(err.rootMessage(), "Invalid B+tree node block magic: 0x41423342 instead of 0x41425442");
}

TEST_F(XfsDamage, RootChecksum) {
  const Image& im = images().v5;
  std::string path = copyOf(im, "rootcrc.img");
  editBlock(
      path, rootOffset(im, 2), im.blockSize, [](std::vector<unsigned char>& b) { b[70] ^= 4; },
      false);
  CVoError err = bitmapError(path);
  EXPECT_EQ(err.errNo(), ENOSYS);
  EXPECT_EQ(err.message(), "Couldn't find first free interval of AG 2");
  EXPECT_EQ(err.rootMessage().rfind("Invalid B+tree CRC: 0x", 0), 0u) << err.rootMessage();
  ASSERT_EQ(err.depth(), 3u);
  EXPECT_STREQ(err.location(1).function, kFindLeaf);
  EXPECT_EQ(err.frameMessage(1), "");
  EXPECT_STREQ(err.location(2).function, kVerify);
}

TEST_F(XfsDamage, FreeCountMismatch) {
  const Image& im = images().v5;
  std::string path = copyOf(im, "count.img");
  const uint32_t free1 = im.ags[1].freeBlocks;
  patchFile(path, agfOffset(im, 1) + 52, be32(free1 + 1));
  resealAgf(im, path, 1);
  CVoError err = bitmapError(path);
  char want[200];
  snprintf(want, sizeof want,
           "Unexpected inconsistency: found %u free blocks for AG 1, but AGF says there should "
           "be %u",
           free1, free1 + 1);
  EXPECT_EQ(err.message(), want);
  EXPECT_EQ(err.errNo(), ENOSYS);
  EXPECT_STREQ(err.location(0).function, kGetBmp);
}

TEST_F(XfsDamage, LeafRecords) {
  const Image& im = images().v5;
  std::string path = scratchPath("leaf.img");
  // More records than a 4096-byte block with a 56-byte header holds (505).
  copyFile(im.path, path);
  editBlock(
      path, rootOffset(im, 0), im.blockSize,
      [](std::vector<unsigned char>& b) { b[6] = 0x01, b[7] = 0xFA; }, true);
  EXPECT_EQ(bitmapError(path).message(),
            fmt("B+tree leaf of AG 0 of %s holds 506 records, more than its 505 slots", path));

  // An extent that runs past its AG: the last record's length grown by one.
  copyFile(im.path, path);
  const AgTruth& ag0 = im.ags[0];
  const auto last = ag0.freeExtents.back();
  ASSERT_EQ(last.first + last.second, ag0.length);
  editBlock(
      path, rootOffset(im, 0), im.blockSize,
      [&](std::vector<unsigned char>& b) {
        putBE32(&b, 56 + 8 * (ag0.freeExtents.size() - 1) + 4, last.second + 1);
      },
      true);
  char want[200];
  snprintf(want, sizeof want,
           "Free extent of %u blocks at block %u of AG 0 of %%s runs past the AG's %u blocks",
           last.second + 1, last.first, ag0.length);
  EXPECT_EQ(bitmapError(path).message(), fmt(want, path));

  // A root leaf claiming to stand nine levels high.
  copyFile(im.path, path);
  editBlock(
      path, rootOffset(im, 0), im.blockSize,
      [](std::vector<unsigned char>& b) { b[4] = 0, b[5] = 9; }, true);
  snprintf(want, sizeof want,
           "B+tree root at block %u of %%s has level 9, more than a free-space tree can have",
           ag0.byBlockRoot);
  EXPECT_EQ(bitmapError(path).rootMessage(), fmt(want, path));

  // An AGF whose root lies outside the AG.
  copyFile(im.path, path);
  patchFile(path, agfOffset(im, 0) + 16, be32(ag0.length));
  resealAgf(im, path, 0);
  snprintf(want, sizeof want,
           "B+tree block %u of the AG at block 0 of %%s lies outside its %u blocks", ag0.length,
           ag0.length);
  EXPECT_EQ(bitmapError(path).rootMessage(), fmt(want, path));
}

// A version-4 AG 0 made shorter in its AGF and in its last free extent, on a device cut short
// as well: AG 1's free extent then ends past the bitmap.
TEST_F(XfsDamage, ExtentPastTheBitmap) {
  const Image& im = images().v4;
  std::string path = copyOf(im, "pastend.img");
  const uint32_t cut = 64;
  const AgTruth& ag0 = im.ags[0];
  const auto last = ag0.freeExtents.back();
  ASSERT_EQ(last.first + last.second, ag0.length);
  patchFile(path, agfOffset(im, 0) + 12, be32(ag0.length - cut));
  patchFile(path, agfOffset(im, 0) + 52, be32(ag0.freeBlocks - cut));
  resealAgf(im, path, 0);
  patchFile(path, rootOffset(im, 0) + 16 + 8 * (ag0.freeExtents.size() - 1) + 4,
            be32(last.second - cut));
  const long long fsBlocks = im.blockCount;
  mustRun("truncate -s " + std::to_string((fsBlocks - cut) * im.blockSize) + " " + path);
  const auto tail = im.ags[1].freeExtents.back();
  ASSERT_EQ(static_cast<long long>(im.agBlocks) + tail.first + tail.second, fsBlocks);
  char want[200];
  snprintf(want, sizeof want,
           "Free extent of %u blocks at block %u of AG 1 of %%s lies past the end of the file "
           "system",
           tail.second, tail.first);
  EXPECT_EQ(bitmapError(path).message(), fmt(want, path));
}

class XfsDeepTreeDamage : public XfsDamage {
 protected:
  void SetUp() override {
    XfsDamage::SetUp();
    if (!images().fragmentSkip.empty()) GTEST_SKIP() << images().fragmentSkip;
    ASSERT_GE(images().v5Small.ags[0].leafOffsets.size(), 3u);
  }
  const Image& im = images().v5Small;
  const AgTruth& ag0 = images().v5Small.ags[0];
  // The byte offset of the root's pointer slot i: after the 56-byte header and all key slots.
  size_t pointerAt(size_t i) const { return 56 + (im.blockSize - 56) / 12 * 8 + 4 * i; }
};

TEST_F(XfsDeepTreeDamage, Nodes) {
  std::string path = scratchPath("node.img");
  const int maxKeys = (im.blockSize - 56) / 12;
  copyFile(im.path, path);
  editBlock(
      path, rootOffset(im, 0), im.blockSize,
      [&](std::vector<unsigned char>& b) {
        b[6] = 0, b[7] = static_cast<unsigned char>(maxKeys + 1);
      },
      true);
  char want[200];
  snprintf(want, sizeof want,
           "B+tree node at block %u of %%s holds %d keys, more than its %d slots", ag0.byBlockRoot,
           maxKeys + 1, maxKeys);
  CVoError err = bitmapError(path);
  EXPECT_EQ(err.rootMessage(), fmt(want, path));
  EXPECT_STREQ(err.location(1).function, kFindLeaf);

  // A child outside the AG.
  copyFile(im.path, path);
  editBlock(
      path, rootOffset(im, 0), im.blockSize,
      [&](std::vector<unsigned char>& b) { putBE32(&b, pointerAt(0), 0x7FFFFFFF); }, true);
  snprintf(want, sizeof want,
           "B+tree block 2147483647 of the AG at block 0 of %%s lies outside its %u blocks",
           ag0.length);
  EXPECT_EQ(bitmapError(path).rootMessage(), fmt(want, path));

  // A root that is its own leftmost child: the level does not go down.
  copyFile(im.path, path);
  editBlock(
      path, rootOffset(im, 0), im.blockSize,
      [&](std::vector<unsigned char>& b) { putBE32(&b, pointerAt(0), ag0.byBlockRoot); }, true);
  snprintf(want, sizeof want,
           "B+tree block %u of %%s has level 1, not below the 1 of the level above",
           ag0.byBlockRoot);
  EXPECT_EQ(bitmapError(path).rootMessage(), fmt(want, path));
}

TEST_F(XfsDeepTreeDamage, SiblingChain) {
  std::string path = scratchPath("sibling.img");
  const uint64_t first = ag0.leafOffsets[0];
  const uint64_t second = ag0.leafOffsets[1];
  const uint32_t firstBlock = static_cast<uint32_t>(first / im.blockSize);

  // Wrong magic on the second leaf, reached as a sibling.
  copyFile(im.path, path);
  patchFile(path, second, be32(0x41425442));
  CVoError err = bitmapError(path);
  EXPECT_EQ(err.message(), "Invalid B+tree node block magic: 0x41425442 instead of 0x41423342");
  EXPECT_STREQ(err.location(0).function, kGetBmp);

  // A flipped bit in the second leaf.
  copyFile(im.path, path);
  editBlock(
      path, second, im.blockSize, [](std::vector<unsigned char>& b) { b[300] ^= 1; }, false);
  err = bitmapError(path);
  EXPECT_EQ(err.rootMessage().rfind("Invalid B+tree CRC: ", 0), 0u) << err.rootMessage();
  ASSERT_EQ(err.depth(), 2u);
  EXPECT_STREQ(err.location(0).function, kGetBmp);
  EXPECT_EQ(err.frameMessage(0), "");

  // A right sibling outside the AG.
  copyFile(im.path, path);
  editBlock(
      path, first, im.blockSize, [](std::vector<unsigned char>& b) { putBE32(&b, 12, 0x00FFFFFF); },
      true);
  char want[200];
  snprintf(want, sizeof want,
           "Right sibling 16777215 of a B+tree leaf of AG 0 of %%s lies outside its %u blocks",
           ag0.length);
  EXPECT_EQ(bitmapError(path).message(), fmt(want, path));

  // The last leaf leads back to the first.
  copyFile(im.path, path);
  editBlock(
      path, ag0.leafOffsets.back(), im.blockSize,
      [&](std::vector<unsigned char>& b) { putBE32(&b, 12, firstBlock); }, true);
  snprintf(want, sizeof want, "Free extents of AG 0 of %%s are out of order at block %u",
           ag0.freeExtents.front().first);
  EXPECT_EQ(bitmapError(path).message(), fmt(want, path));

  // An empty first leaf that is its own right sibling: refused at once, not after walking the
  // chain around for as many steps as the AG has blocks.
  copyFile(im.path, path);
  editBlock(
      path, first, im.blockSize,
      [&](std::vector<unsigned char>& b) {
        b[6] = b[7] = 0;
        putBE32(&b, 12, firstBlock);
      },
      true);
  EXPECT_EQ(bitmapError(path).message(), fmt("Empty B+tree leaf in the chain of AG 0 of %s", path));

  // A zero-length extent repeated in a leaf that points back at itself.
  copyFile(im.path, path);
  editBlock(
      path, first, im.blockSize,
      [&](std::vector<unsigned char>& b) {
        b[6] = 0, b[7] = 1;
        putBE32(&b, 56, 5);
        putBE32(&b, 60, 0);
        putBE32(&b, 12, firstBlock);
      },
      true);
  EXPECT_EQ(bitmapError(path).message(),
            fmt("Free extent of no blocks at block 5 of AG 0 of %s", path));
}

// The walk hints the leaves to the kernel from the node above them. Whatever that node points
// at, nothing outside the device is hinted; a pointer the walk does not follow changes nothing,
// and the one it follows is refused as before.
TEST_F(XfsDeepTreeDamage, HintsStayInsideTheDevice) {
  struct Case {
    const char* what;
    size_t slot;       // the root's pointer edited
    uint32_t pointer;  // to this, unless 0
    bool refused;      // with the error of a child outside the AG; else mapped as made
  };
  const Case cases[] = {
      {"as made", 0, 0, false},
      {"a later child past the AG", 1, 0x7FFFFFFF, false},
      {"a later child at the largest block number", 2, 0xFFFFFFFF, false},
      {"the first child past the AG", 0, 0x7FFFFFFF, true},
  };
  char refusal[200];
  snprintf(refusal, sizeof refusal,
           "B+tree block 2147483647 of the AG at block 0 of %%s lies outside its %u blocks",
           ag0.length);
  const std::vector<bool> want = im.expectedChunks(im.blockSize);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = scratchPath("hints.img");
    copyFile(im.path, path);
    if (c.pointer != 0) {
      editBlock(
          path, rootOffset(im, 0), im.blockSize,
          [&](std::vector<unsigned char>& b) { putBE32(&b, pointerAt(c.slot), c.pointer); }, true);
    }
    auto view = std::make_shared<HintLog>(path);
    CVoError err;
    FsParserXFS p(view, path, &err);
    ASSERT_GE(err.code, 0) << err.toString();
    ChunkBitmap got;
    err = getBitmap(&p, im.blockSize, &got);
    if (c.refused) {
      EXPECT_EQ(err.rootMessage(), fmt(refusal, path));
    } else {
      ASSERT_GE(err.code, 0) << err.toString();
      EXPECT_TRUE(sameChunks(got, want, static_cast<long long>(want.size())));
      // Every leaf after the first, but the one whose pointer was edited, was hinted.
      for (size_t i = 1; i < ag0.leafOffsets.size(); ++i)
        EXPECT_EQ(view->hinted(ag0.leafOffsets[i]), c.pointer == 0 || i != c.slot) << "leaf " << i;
    }
    ASSERT_FALSE(view->hints.empty());
    for (const auto& h : view->hints) {
      EXPECT_GT(h.second, 0);
      EXPECT_GE(h.first, 0);
      EXPECT_LE(h.first + h.second, im.devSize) << "hint at byte " << h.first;
    }
  }
}

// A version-5 superblock or AGF whose CRC no longer fits is refused at the probe, naming it.
TEST_F(XfsDamage, StaleCRCsAreRefused) {
  const Image& im = images().v5;
  struct Case {
    uint64_t offset;      // a byte of the structure, changed without resealing its CRC
    const char* refusal;  // the message's start, with the path for %s
  };
  const Case cases[] = {
      {110, "Superblock of %s fails its CRC (stored 0x"},                     // in the label
      {agfOffset(im, 1) + 64, "AGF of AG 1 of %s fails its CRC (stored 0x"},  // in the AGFL range
  };
  for (const Case& c : cases) {
    const std::string path = copyOf(im, "stale-crc.img");
    std::vector<unsigned char> byte = readAt(path, c.offset, 1);
    byte[0] ^= 0x40;
    patchFile(path, c.offset, byte);
    Probe p(path);
    const std::string refusal = fmt(c.refusal, path);
    EXPECT_EQ(p.err.errNo(), ENOSYS) << p.err.toString();
    EXPECT_EQ(p.err.message().compare(0, refusal.size(), refusal), 0) << p.err.toString();
    EXPECT_STREQ(p.err.location(0).function, kInit);
  }
}

// Logs edited into copies of a cleanly made image, and a log on another device.
TEST_F(XfsDamage, LogStates) {
  FSBMP_REQUIRE_TOOL("xfs_logprint");
  const Image& im = images().v5;
  // Where xfs_logprint finds the log, in 512-byte blocks of the device.
  const std::string out = mustRun("xfs_logprint -t '" + im.path + "'");
  long long start = 0, length = 0;
  const size_t at = out.find("daddr: ");
  ASSERT_NE(at, std::string::npos) << out;
  ASSERT_EQ(sscanf(out.c_str() + at, "daddr: %lld length: %lld", &start, &length), 2) << out;
  ASSERT_GT(length, 8);
  const uint64_t log = static_cast<uint64_t>(start) * 512;

  const std::string external = scratchPath("extlog.img");
  const std::string logDevice = scratchPath("extlog.log");
  mustRun("truncate -s 64m '" + external + "' && truncate -s 16m '" + logDevice +
          "' && TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 mkfs.xfs -f -q -l logdev='" + logDevice +
          "',size=2000b '" + external + "'");

  const std::string len = std::to_string(length);
  auto damaged = [&](const std::string& what) {
    return "XFS log of %s is damaged: " + what + " (at log block 0 of " + len +
           "); it cannot be told whether it needs recovery";
  };
  struct Case {
    const char* name;
    std::function<void(const std::string&)> edit;
    std::string message;  // "" when it maps
  };
  const Case cases[] = {
      // Every basic block of cycle 0: never written, as the kernel accepts it.
      {"zeroed",
       [&](const std::string& p) {
         patchFile(p, log, std::vector<unsigned char>(static_cast<size_t>(length) * 512));
       },
       ""},
      // The unmount record's operation turned into an ordinary one: the log needs recovery, but
      // its only record fails its CRC, a write that never finished, so nothing is replayed.
      {"no unmount op", [&](const std::string& p) { patchFile(p, log + 512 + 9, {0x01}); }, ""},
      // Cycle stamps of a whole pass but not one record header.
      {"no header",
       [&](const std::string& p) {
         std::vector<unsigned char> stamps(static_cast<size_t>(length) * 512);
         for (long long b = 0; b < length; ++b) putBE32(&stamps, static_cast<size_t>(b) * 512, 1);
         patchFile(p, log, stamps);
       },
       damaged("no record header before the head")},
      {"unknown version", [&](const std::string& p) { patchFile(p, log + 8, be32(7)); },
       damaged("last record has an unknown version")},
      {"external log", nullptr,
       "XFS on %s keeps its log on another device, which the library cannot read: it cannot "
       "tell whether the log needs recovery, and a map made without it could lose data. Name "
       "the log device to map it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = external;
    if (c.edit) {
      path = copyOf(im, "log.img");
      c.edit(path);
    }
    if (c.message.empty()) {
      Probe p(path);
      ChunkBitmap bits;
      ASSERT_GE(getBitmap(p.parser.get(), 65536, &bits).code, 0);
      const std::vector<bool> want = im.expectedChunks(65536);
      EXPECT_TRUE(sameChunks(bits, want, static_cast<long long>(want.size())));
      continue;
    }
    CVoError err = bitmapError(path);
    EXPECT_EQ(err.errNo(), ENOSYS);
    EXPECT_EQ(err.message(), fmt(c.message, path));
    EXPECT_STREQ(err.location(0).function, kGetBmp);
  }
}
