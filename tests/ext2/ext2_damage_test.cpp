// Damaged copies of real ext2/3/4 images: each is refused with its own clear error, leaks no
// descriptor and hands out no bitmap.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "common/testutil.h"
#include "ext2_images.h"
#include "fsbmp/fsbmpExt2.h"

using namespace fsbmp_test;
using ext2_test::Ext2Image;
using ext2_test::ext2Image;

namespace {

const long long kSb = 1024;  // byte offset of the superblock

class Ext2DamageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FSBMP_REQUIRE_TOOL("mkfs.ext4");
    FSBMP_REQUIRE_TOOL("dumpe2fs");
    fds_ = countOpenFds();
  }
  void TearDown() override { EXPECT_EQ(countOpenFds(), fds_) << "a descriptor leaked"; }

  // A copy of a layout's image, named after the damage done to it.
  std::string copyOf(const std::string& layout, const std::string& damage) {
    const Ext2Image& im = ext2Image(layout);
    EXPECT_TRUE(im.failure.empty()) << im.failure;
    return fsbmp_test::copyOf(im, layout + "-" + damage + ".img");
  }
  static void put16(const std::string& path, long long at, uint16_t v) {
    std::vector<unsigned char> b(2);
    putLE16(&b, 0, v);
    patchFile(path, static_cast<uint64_t>(at), b);
  }
  static void put32(const std::string& path, long long at, uint32_t v) {
    std::vector<unsigned char> b(4);
    putLE32(&b, 0, v);
    patchFile(path, static_cast<uint64_t>(at), b);
  }

  // The probe refuses the device with `errNo` and a message starting with `message`.
  static void expectProbeRefuses(const std::string& path, int errNo, const std::string& message) {
    CVoError err;
    { FsParserExt2 p(path, &err); }
    ASSERT_LT(err.code, 0);
    EXPECT_EQ(err.errNo(), errNo) << err.toString();
    EXPECT_EQ(err.message().compare(0, message.size(), message), 0) << err.toString();
    EXPECT_STREQ(err.location(0).function, "CVoError FsParserExt2::init(const string&)");
  }

  // The probe accepts the device, getBmp refuses it and leaves null and 0 behind.
  static CVoError bitmapError(const std::string& path, int chunkSize) {
    CVoError err;
    FsParserExt2 p(path, &err);
    EXPECT_GE(err.code, 0) << err.toString();
    if (err.code < 0) return err;
    void* bmp = reinterpret_cast<void*>(0x1);
    long long n = -1;
    err = p.getBmp(chunkSize, &bmp, &n);
    EXPECT_LT(err.code, 0);
    EXPECT_EQ(bmp, nullptr);
    EXPECT_EQ(n, 0);
    return err;
  }

  int fds_ = 0;
};

TEST_F(Ext2DamageTest, NoMagicIsNotExt2AndLogsNothing) {
  const std::string path = copyOf("ext2_1k", "magic");
  put16(path, kSb + 56, 0x1234);
  DebugCapture log;
  expectProbeRefuses(path, ENOSYS, path + " doesn't have ext2/3/4 SB magic");
  EXPECT_FALSE(log.contains("FsParserExt2::init"));
  CVoError err;
  std::unique_ptr<FsParser> any(FsParser::init(path, &err));
  EXPECT_FALSE(any);
}

TEST_F(Ext2DamageTest, ZeroGeometryIsCorruptAfterTheDetectionLine) {
  const std::string path = copyOf("ext2_1k", "zero-bpg");
  put32(path, kSb + 32, 0);
  DebugCapture log;
  CVoError err;
  { FsParserExt2 p(path, &err); }
  EXPECT_EQ(err.errNo(), ENOSYS);
  EXPECT_EQ(err.message(), "Superblock of " + path + " is corrupt.");
  EXPECT_EQ(log.lines,
            std::vector<std::string>{"FsParserExt2::init: Detected ext2/3/4 FS on " + path});
}

// Geometry that would make the walks divide by zero or read past a bitmap block.
TEST_F(Ext2DamageTest, GeometryTheWalksCannotSurviveIsRefused) {
  struct Case {
    const char* layout;
    const char* name;
    std::vector<std::pair<long long, uint32_t>> fields;  // superblock offset, 32-bit value
  };
  const Case cases[] = {
      {"ext2_1k", "log-block-size", {{24, 7}}},
      {"ext2_1k", "bpg-not-bytes", {{32, 8191}}},
      {"ext2_1k", "bpg-past-bitmap", {{32, 16384}}},
      {"ext2_1k", "first-data-block", {{20, 20000}}},
      {"ext4_4k", "group-count", {{32, 8}, {336, 16}}},  // 2^36 blocks in groups of 8
      {"ext4_4k", "block-count", {{336, 0xFFFFFFFFu}}},  // 2^64 blocks
      {"ext4_bigalloc", "clusters", {{36, 1000}}},       // clusters per group vs blocks
      {"ext4_bigalloc", "cluster-size", {{28, 1}}},      // cluster smaller than a block
      {"ext4_bigalloc", "bigalloc-first-block", {{20, 1}}},
      // Uninitialised groups' inode tables are marked from these two.
      {"ext4_4k", "inode-size", {{88, 100}}},
      {"ext4_4k", "inodes-per-group", {{40, 40000}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = copyOf(c.layout, c.name);
    for (const auto& f : c.fields) put32(path, kSb + f.first, f.second);
    ext2_test::resealSuperblock(path);
    expectProbeRefuses(path, ENOSYS, "Superblock of " + path + " is corrupt");
  }
}

TEST_F(Ext2DamageTest, DescriptorSizeOutsideSixtyFourToKiBIsRefused) {
  for (int size : {0, 32, 48, 96, 2048}) {
    SCOPED_TRACE(size);
    const std::string path = copyOf("ext4_4k", "desc-size-" + std::to_string(size));
    put16(path, kSb + 254, static_cast<uint16_t>(size));
    ext2_test::resealSuperblock(path);
    expectProbeRefuses(path, ENOSYS, "Superblock of " + path + " is corrupt");
  }
}

TEST_F(Ext2DamageTest, FreeCountDisagreeingWithTheBitmap) {
  // 1 KiB blocks (bit walk), then 4 KiB blocks with both walks.
  struct Case {
    const char* layout;
    long long gdtOffset;
    std::vector<int> chunkSizes;
  };
  for (const Case& c :
       {Case{"ext2_1k", 2048, {1024}}, Case{"ext4_noflex_32", 4096, {4096, 32768}}}) {
    const Ext2Image& im = ext2Image(c.layout);
    ASSERT_TRUE(im.failure.empty()) << im.failure;
    size_t g = 1;
    while (g < im.groups.size() && im.groups[g].blockUninit) ++g;
    ASSERT_LT(g, im.groups.size());
    const long long freeCount = im.groups[g].freeCount;
    const std::string path = copyOf(c.layout, "free-count");
    put16(path, c.gdtOffset + 32 * static_cast<long long>(g) + 12,
          static_cast<uint16_t>(freeCount - 1));
    ext2_test::resealDescriptor(path, c.gdtOffset + 32 * static_cast<long long>(g),
                                static_cast<uint32_t>(g));
    for (int chunkSize : c.chunkSizes) {
      SCOPED_TRACE(std::string(c.layout) + " chunk size " + std::to_string(chunkSize));
      CVoError err = bitmapError(path, chunkSize);
      EXPECT_EQ(err.errNo(), ENOSYS);
      EXPECT_EQ(err.message(), "Number of free blocks (" + std::to_string(freeCount - 1) +
                                   ") in block group " + std::to_string(g) +
                                   " is inconsistent with the bitmap (" +
                                   std::to_string(freeCount) + ").");
      EXPECT_STREQ(err.location(0).function,
                   "virtual CVoError FsParserExt2::getBmp(int, void**, long long int*)");
    }
  }
}

// Without uninit_bg or metadata_csum the BLOCK_UNINIT flag is not trusted: the group's bitmap
// block, which mke2fs never wrote, is read and disagrees with the descriptor.
TEST_F(Ext2DamageTest, UninitFlagIgnoredWithoutDescriptorChecksums) {
  const Ext2Image& im = ext2Image("ext4_noflex_32");
  ASSERT_TRUE(im.failure.empty()) << im.failure;
  size_t g = 0;
  while (g < im.groups.size() && !im.groups[g].blockUninit) ++g;
  ASSERT_LT(g, im.groups.size());
  const std::string path = copyOf("ext4_noflex_32", "no-uninit-bg");
  const std::vector<unsigned char> ro = readAt(path, kSb + 100, 4);
  put32(path, kSb + 100, getLE32(ro, 0) & ~0x10u);
  CVoError err = bitmapError(path, 4096);
  EXPECT_EQ(err.errNo(), ENOSYS);
  EXPECT_NE(err.message().find("in block group " + std::to_string(g) + " is inconsistent"),
            std::string::npos)
      << err.toString();
}

// A BLOCK_UNINIT flag set on a group that holds files: its free count gives it away, its bitmap
// is read and the map is the undamaged image's, every file's blocks in it. A flagged group whose
// free count contradicts the flag and whose bitmap was never written is refused.
TEST_F(Ext2DamageTest, UninitFlagContradictedByTheFreeCount) {
  for (const char* layout : {"ext4_4k", "ext4_1k", "ext4_bigalloc"}) {
    SCOPED_TRACE(layout);
    const Ext2Image& im = ext2Image(layout);
    ASSERT_TRUE(im.failure.empty()) << im.failure;
    size_t g = 0;  // the initialised group between the first and the last with most in use
    for (size_t k = 1; k + 1 < im.groups.size(); ++k)
      if (!im.groups[k].blockUninit && (g == 0 || im.groups[k].freeCount < im.groups[g].freeCount))
        g = k;
    ASSERT_NE(g, 0u);
    const std::string path = copyOf(layout, "uninit-flag");
    const long long at =
        (im.firstBlock + 1) * im.blockSize + im.descSize * static_cast<long long>(g);
    put16(path, at + 18, static_cast<uint16_t>(readAt(path, at + 18, 1)[0] | 0x2));
    ext2_test::resealDescriptor(path, at, static_cast<uint32_t>(g));
    DebugCapture log;
    CVoError err;
    FsParserExt2 p(path, &err);
    ASSERT_GE(err.code, 0) << err.toString();
    ChunkBitmap got;
    err = getBitmap(&p, static_cast<int>(im.blockSize * im.clusterBlocks), &got);
    ASSERT_GE(err.code, 0) << err.toString();
    EXPECT_TRUE(log.contains("Block group " + std::to_string(g) + " of " + path +
                             " is marked BLOCK_UNINIT but counts"));
    EXPECT_TRUE(sameChunks(got, chunksFromBlocks(im.used, im.clusterBlocks),
                           im.blockCount / im.clusterBlocks));
  }

  const Ext2Image& im = ext2Image("ext4_noflex_32");
  ASSERT_TRUE(im.failure.empty()) << im.failure;
  size_t g = 1;
  while (g < im.groups.size() && !im.groups[g].blockUninit) ++g;
  ASSERT_LT(g, im.groups.size());
  const std::string path = copyOf("ext4_noflex_32", "uninit-free-count");
  const long long at = 4096 + 32 * static_cast<long long>(g);
  put16(path, at + 12, static_cast<uint16_t>(im.groups[g].freeCount - 1));
  ext2_test::resealDescriptor(path, at, static_cast<uint32_t>(g));
  CVoError err = bitmapError(path, 4096);
  EXPECT_EQ(err.errNo(), ENOSYS);
  EXPECT_EQ(err.message(), "Number of free blocks (" + std::to_string(im.groups[g].freeCount - 1) +
                               ") in block group " + std::to_string(g) +
                               " is inconsistent with the bitmap (32768).");
}

TEST_F(Ext2DamageTest, BitmapPastTheDeviceEnd) {
  const Ext2Image& im = ext2Image("ext2_1k");
  ASSERT_TRUE(im.failure.empty()) << im.failure;
  const std::string path = copyOf("ext2_1k", "bitmap-location");
  put32(path, 2048 + 32 * 2, static_cast<uint32_t>(im.devSize / 1024 + 10));
  CVoError err = bitmapError(path, 1024);
  EXPECT_EQ(err.errNo(), ENOSPC);
  EXPECT_EQ(err.message(), "Couldn't read allocation bitmap for BG 2");
  EXPECT_EQ(err.rootMessage().compare(0, 24, "EOF while reading blocks"), 0) << err.toString();
}

TEST_F(Ext2DamageTest, TruncatedImages) {
  const Ext2Image& im = ext2Image("ext2_1k");
  ASSERT_TRUE(im.failure.empty()) << im.failure;
  {
    const std::string path = copyOf("ext2_1k", "short-sb");
    mustRun("truncate -s 1500 '" + path + "'");
    expectProbeRefuses(path, ENOSPC, "Couldn't read SB from " + path);
  }
  {
    const std::string path = copyOf("ext2_1k", "short-gdt");
    mustRun("truncate -s 2048 '" + path + "'");
    CVoError err = bitmapError(path, 1024);
    EXPECT_EQ(err.errNo(), ENOSPC);
    EXPECT_EQ(err.message(), "Failed to read pre-META_BG Group Descriptor Table of " + path);
    EXPECT_EQ(err.frameMessage(1), "Failed to read block 2 of " + path);
  }
  {
    // Two 4 KiB descriptor blocks on a device of one block.
    const std::string path = copyOf("ext4_metabg64", "short-table");
    mustRun("truncate -s 4096 '" + path + "'");
    CVoError err = bitmapError(path, 4096);
    EXPECT_EQ(err.errNo(), ENOSYS);
    EXPECT_EQ(
        err.message().compare(0, 32 + path.size(), "Group descriptor table of " + path + " (2 bl"),
        0)
        << err.toString();
  }
  {
    // Group 2 starts at block 16385: its bitmap is gone.
    const std::string path = copyOf("ext2_1k", "short-groups");
    mustRun("truncate -s 12M '" + path + "'");
    CVoError err = bitmapError(path, 1024);
    EXPECT_EQ(err.errNo(), ENOSPC);
    EXPECT_EQ(err.message(), "Couldn't read allocation bitmap for BG 2");
  }
  {
    // The descriptor block of the second meta group lies past the end.
    const Ext2Image& meta = ext2Image("ext3_1k_metabg");
    ASSERT_TRUE(meta.failure.empty()) << meta.failure;
    ASSERT_GT(meta.groups.size(), 32u);
    ASSERT_FALSE(meta.groups[32].metadata.empty());
    const long long block = meta.groups[32].metadata[0];
    const std::string path = copyOf("ext3_1k_metabg", "short-meta");
    mustRun("truncate -s " + std::to_string(block * 1024) + " '" + path + "'");
    CVoError err = bitmapError(path, 1024);
    EXPECT_EQ(err.message(), "Failed to GDT of meta group 1 from " + path);
    EXPECT_EQ(err.frameMessage(1), "Failed to read block " + std::to_string(block) + " of " + path);
  }
}

// flex_bg keeps several groups' bitmaps in consecutive blocks, which are read together: damage
// to the middle one of such a run is still reported for that group, by both walks.
TEST_F(Ext2DamageTest, DamageInsideARunOfSideBySideBitmaps) {
  const Ext2Image& im = ext2Image("ext4_4k");
  ASSERT_TRUE(im.failure.empty()) << im.failure;
  size_t g = 1;  // middle of three initialised groups whose bitmaps follow one another
  auto runsOn = [&](size_t k) {
    return !im.groups[k - 1].blockUninit && !im.groups[k].blockUninit &&
           !im.groups[k + 1].blockUninit &&
           im.groups[k].blockBitmap == im.groups[k - 1].blockBitmap + 1 &&
           im.groups[k + 1].blockBitmap == im.groups[k].blockBitmap + 1;
  };
  while (g + 1 < im.groups.size() && !runsOn(g)) ++g;
  ASSERT_LT(g + 1, im.groups.size()) << "no run of three side-by-side bitmaps";
  const std::string bg = std::to_string(g);
  {
    const long long freeCount = im.groups[g].freeCount;
    const std::string path = copyOf("ext4_4k", "run-free-count");
    put16(path, 4096 + im.descSize * static_cast<long long>(g) + 12,
          static_cast<uint16_t>(freeCount - 1));
    ext2_test::resealDescriptor(path, 4096 + im.descSize * static_cast<long long>(g),
                                static_cast<uint32_t>(g));
    for (int chunkSize : {4096, 65536}) {
      SCOPED_TRACE("chunk size " + std::to_string(chunkSize));
      CVoError err = bitmapError(path, chunkSize);
      EXPECT_EQ(err.errNo(), ENOSYS);
      EXPECT_EQ(err.message(), "Number of free blocks (" + std::to_string(freeCount - 1) +
                                   ") in block group " + bg + " is inconsistent with the bitmap (" +
                                   std::to_string(freeCount) + ").");
    }
  }
  {
    // The device ends right before group g's bitmap: the run's read falls short, the groups
    // before g are read one by one and g is the one named.
    const std::string path = copyOf("ext4_4k", "run-cut");
    mustRun("truncate -s " + std::to_string(im.groups[g].blockBitmap * 4096) + " '" + path + "'");
    for (int chunkSize : {4096, 65536}) {
      SCOPED_TRACE("chunk size " + std::to_string(chunkSize));
      CVoError err = bitmapError(path, chunkSize);
      EXPECT_EQ(err.errNo(), ENOSPC);
      EXPECT_EQ(err.message(), "Couldn't read allocation bitmap for BG " + bg);
    }
  }
}

// 2^32 + 30000 blocks of 4 KiB: as many 4 KiB chunks do not fit the 32-bit chunk counters (chunk
// sizes refused: tests/oracle).
TEST_F(Ext2DamageTest, TooManyChunks) {
  const std::string path = copyOf("ext4_4k", "huge");
  put32(path, kSb + 336, 1);
  ext2_test::resealSuperblock(path);
  CVoError err = bitmapError(path, 4096);
  EXPECT_EQ(err.errNo(), EINVAL);
  EXPECT_NE(err.message().find("chunks"), std::string::npos) << err.toString();
}

// Metadata whose checksum no longer fits is refused, naming the structure and the group, where
// trusting it would lose data: a descriptor whose BLOCK_UNINIT flag calls a used group free, a
// bitmap cleared to all free, a superblock with half its blocks.
TEST_F(Ext2DamageTest, StaleChecksumsAreRefused) {
  enum Damage { kUninitFlag, kClearedBitmap, kHalvedBlockCount };
  struct Case {
    const char* layout;  // ext4_4k: metadata_csum; ext4_noflex_32: uninit_bg (crc16)
    Damage damage;
    const char* refusal;  // what the message starts with, before the path
  };
  const Case cases[] = {
      {"ext4_4k", kUninitFlag, "Descriptor of block group %g of "},
      {"ext4_noflex_32", kUninitFlag, "Descriptor of block group %g of "},
      {"ext4_4k", kClearedBitmap, "Block bitmap of block group %g of "},
      {"ext4_4k", kHalvedBlockCount, "Superblock of "},
  };
  for (const Case& c : cases) {
    const Ext2Image& im = ext2Image(c.layout);
    ASSERT_TRUE(im.failure.empty()) << im.failure;
    // A group with blocks in use beyond its own metadata, whose bitmap is read today.
    size_t g = 1;
    while (g < im.groups.size() &&
           (im.groups[g].blockUninit || im.groups[g].freeCount + 600 > im.blocksPerGroup))
      ++g;
    ASSERT_LT(g, im.groups.size()) << c.layout;
    const std::string path = copyOf(c.layout, "stale-" + std::to_string(c.damage));
    const long long desc = im.blockSize + im.descSize * static_cast<long long>(g);
    std::string refusal = c.refusal;
    if (refusal.find("%g") != std::string::npos)
      refusal.replace(refusal.find("%g"), 2, std::to_string(g));
    refusal += path + " fails its checksum (stored 0x";
    SCOPED_TRACE(refusal);
    switch (c.damage) {
      case kUninitFlag: {
        const std::vector<unsigned char> flags = readAt(path, desc + 18, 2);
        put16(path, desc + 18, static_cast<uint16_t>((flags[0] | flags[1] << 8) | 0x2));
        break;
      }
      case kClearedBitmap:
        patchFile(path, static_cast<uint64_t>(im.groups[g].blockBitmap * im.blockSize),
                  std::vector<unsigned char>(static_cast<size_t>(im.blockSize), 0));
        put16(path, desc + 12, static_cast<uint16_t>(8 * im.blockSize));
        ext2_test::resealDescriptor(path, desc, static_cast<uint32_t>(g));
        break;
      case kHalvedBlockCount:
        put32(path, kSb + 4, static_cast<uint32_t>(im.blockCount / 2));
        expectProbeRefuses(path, ENOSYS, refusal);
        continue;
    }
    for (int chunkSize : {4096, 65536}) {
      CVoError err = bitmapError(path, chunkSize);
      EXPECT_EQ(err.errNo(), ENOSYS);
      EXPECT_EQ(err.rootMessage().compare(0, refusal.size(), refusal), 0) << err.toString();
    }
  }
}

}  // namespace
