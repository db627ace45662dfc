// ext2/3/4 images in every layout, compared with what dumpe2fs reports of their groups, and the
// walks compared with one another (the maps against dumpe2fs: tests/oracle).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/testutil.h"
#include "ext2/fsbmpExt2Tuning.h"
#include "ext2_images.h"
#include "fsbmp/fsbmpExt2.h"

using namespace fsbmp_test;
using ext2_test::Ext2Image;
using ext2_test::ext2Image;

namespace {

// A parser whose getBmp runs with its own walk choice and staging size.
class Ext2Walks : public FsParserExt2 {
 public:
  Ext2Walks(const std::string& dev, CVoError* err) : FsParserExt2(dev, err) {}
  void forceBitWalk() { tuning_.forceBitWalk = true; }
  void setStagingBytes(uint32_t bytes) { tuning_.stagingBytes = bytes; }
  CVoError getBmp(int chunkSize, void** bmp, long long* bmpSize) override {
    fsbmp::ext2::ScopedWalkTuning use(tuning_);
    return FsParserExt2::getBmp(chunkSize, bmp, bmpSize);
  }

 private:
  fsbmp::ext2::WalkTuning tuning_;
};

long long ceilDiv(long long a, long long b) {
  return (a + b - 1) / b;
}

class Ext2LayoutTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    FSBMP_REQUIRE_TOOL("mkfs.ext4");
    FSBMP_REQUIRE_TOOL("dumpe2fs");
    im_ = &ext2Image(GetParam());
    ASSERT_TRUE(im_->failure.empty()) << im_->failure;
  }

  std::unique_ptr<Ext2Walks> open() {
    CVoError err;
    std::unique_ptr<Ext2Walks> p(new Ext2Walks(im_->path, &err));
    EXPECT_GE(err.code, 0) << err.toString();
    if (err.code < 0) p.reset();
    return p;
  }

  const Ext2Image* im_ = nullptr;
};

TEST_P(Ext2LayoutTest, ProbeMatchesDumpe2fsGroups) {
  auto p = open();
  ASSERT_TRUE(p);
  EXPECT_EQ(static_cast<long long>(p->firstDataBlock), im_->firstBlock);
  EXPECT_EQ(static_cast<long long>(p->blocksPerGroup), im_->blocksPerGroup);
  EXPECT_EQ(p->groupDescCount, im_->groups.size());
  EXPECT_EQ(static_cast<long long>(p->groupDescSize), im_->descSize);
  EXPECT_EQ(1LL << p->clusterBits, im_->clusterBlocks);
  for (size_t g = 0; g < im_->groups.size(); ++g)
    EXPECT_EQ(p->bgHasSuper(static_cast<unsigned>(g)), im_->groups[g].hasSuper) << "group " << g;
}

// An undamaged file system's files hold no block its maps call free: the scan adds nothing, and
// the bitmap is byte for byte the one without it.
TEST_P(Ext2LayoutTest, VerifyAddsNothingToAnUndamagedMap) {
  auto plain = open(), verified = open();
  ASSERT_TRUE(plain && verified);
  ASSERT_GE(verified->setVerify(true).code, 0);
  for (int chunkSize : {static_cast<int>(im_->blockSize), 65536}) {
    ChunkBitmap a, b;
    ASSERT_GE(getBitmap(plain.get(), chunkSize, &a).code, 0);
    CVoError err = getBitmap(verified.get(), chunkSize, &b);
    ASSERT_GE(err.code, 0) << err.toString();
    ASSERT_EQ(a.nChunks, b.nChunks);
    EXPECT_EQ(memcmp(a.bits.get(), b.bits.get(), static_cast<size_t>((a.nChunks + 7) / 8)), 0)
        << "chunk size " << chunkSize;
    const FsParser::VerifyReport r = verified->verifyReport();
    EXPECT_TRUE(r.ran);
    EXPECT_GE(r.inodesScanned, 11u);  // the reserved inodes and the root at least
    EXPECT_EQ(r.blocksFreeInMaps, 0u);
    EXPECT_TRUE(r.first.empty());
    EXPECT_FALSE(plain->verifyReport().ran);
  }
}

// The metadata that BLOCK_UNINIT groups hold (a superblock backup, descriptor blocks) is used
// although their bitmaps are never read. The oracle covers it; this shows which blocks.
TEST_P(Ext2LayoutTest, MetadataOfUninitialisedGroupsIsUsed) {
  auto p = open();
  ASSERT_TRUE(p);
  ChunkBitmap got;
  ASSERT_GE(getBitmap(p.get(), static_cast<int>(im_->blockSize), &got).code, 0);
  int groupsWithMetadata = 0;
  for (size_t g = 0; g < im_->groups.size(); ++g) {
    if (!im_->groups[g].blockUninit || im_->groups[g].metadata.empty()) continue;
    ++groupsWithMetadata;
    for (long long b : im_->groups[g].metadata)
      EXPECT_TRUE(got.test(b)) << "group " << g << " block " << b;
  }
  static const char* const kWithUninitMetadata[] = {"ext4_4k", "ext4_noflex_32", "ext4_metabg64",
                                                    "ext4_bigalloc"};
  for (const char* name : kWithUninitMetadata)
    if (GetParam() == name) {
      EXPECT_GT(groupsWithMetadata, 0) << "layout lost its point";
    }
}

TEST_P(Ext2LayoutTest, BitWalkAgreesWithWholeByteWalk) {
  auto chosen = open();
  auto bits = open();
  ASSERT_TRUE(chosen && bits);
  bits->forceBitWalk();
  for (int chunkSize : oracleChunkSizes(im_->blockSize)) {
    const long long blocksPerChunk = chunkSize / im_->blockSize;
    ChunkBitmap a, b;
    ASSERT_GE(getBitmap(chosen.get(), chunkSize, &a).code, 0);
    ASSERT_GE(getBitmap(bits.get(), chunkSize, &b).code, 0);
    ASSERT_EQ(a.nChunks, b.nChunks);
    const long long whole = im_->blockCount / blocksPerChunk;
    const long long fsChunks = ceilDiv(im_->blockCount, blocksPerChunk);
    long long differ = 0;
    for (long long c = 0; c < whole; ++c) differ += a.test(c) != b.test(c);
    EXPECT_EQ(differ, 0) << "chunk size " << chunkSize;
    if (fsChunks > whole) {
      EXPECT_TRUE(!b.test(whole) || a.test(whole)) << chunkSize;
    }
    // The bit walk never marks past the file system's last block.
    for (long long c = fsChunks; c < b.nChunks; ++c)
      ASSERT_FALSE(b.test(c)) << "chunk size " << chunkSize << " chunk " << c;
  }
}

TEST_P(Ext2LayoutTest, StagingBatchesGiveTheResultOfOneBatch) {
  if (im_->firstBlock != 0) GTEST_SKIP() << "the whole-byte walk needs first data block 0";
  auto usual = open();
  auto oneGroupPerBatch = open();
  auto oneBatch = open();
  ASSERT_TRUE(usual && oneGroupPerBatch && oneBatch);
  oneGroupPerBatch->setStagingBytes(1);  // raised to one unit plus one block
  oneBatch->setStagingBytes(1u << 20);   // more than all groups' bitmap bytes of these images
  for (int chunkSize : {32 << 10, 128 << 10, 1 << 20, 4 << 20, 32 << 20, 256 << 20}) {
    ChunkBitmap a, b, c;
    ASSERT_GE(getBitmap(usual.get(), chunkSize, &a).code, 0);
    ASSERT_GE(getBitmap(oneGroupPerBatch.get(), chunkSize, &b).code, 0);
    ASSERT_GE(getBitmap(oneBatch.get(), chunkSize, &c).code, 0);
    const size_t bytes = static_cast<size_t>((a.nChunks + 7) / 8);
    EXPECT_EQ(memcmp(a.bits.get(), b.bits.get(), bytes), 0) << chunkSize;
    EXPECT_EQ(memcmp(a.bits.get(), c.bits.get(), bytes), 0) << chunkSize;
  }
}

// readGDT logs every descriptor it reads; in every layout the gathered table gives each group
// the bitmap location and free count that dumpe2fs shows.
TEST_P(Ext2LayoutTest, GatheredDescriptorsMatchDumpe2fs) {
  auto p = open();
  ASSERT_TRUE(p);
  DebugCapture log;
  ChunkBitmap got;
  ASSERT_GE(getBitmap(p.get(), static_cast<int>(im_->blockSize), &got).code, 0);
  std::map<long long, std::pair<long long, long long>> logged;  // group: bitmap, free count
  int reads = 0;
  const std::string tag = "FsParserExt2::readGDT: ";
  for (size_t i = 0; i < log.lines.size(); ++i) {
    const std::string& l = log.lines[i];
    if (l.compare(0, tag.size() + 8, tag + "Reading ") == 0) ++reads;
    long long g, bitmap, freeCount;
    if (sscanf(l.c_str(), "FsParserExt2::readGDT:   Group %lld:", &g) == 1 &&
        i + 3 < log.lines.size() &&
        sscanf(log.lines[i + 1].c_str(), "FsParserExt2::readGDT:     Block bitmap at %lld",
               &bitmap) == 1 &&
        sscanf(log.lines[i + 3].c_str(), "FsParserExt2::readGDT:     Free blocks: %lld",
               &freeCount) == 1 &&
        !logged.count(g))
      logged[g] = {bitmap, freeCount};
  }
  const uint32_t metaReads = p->descBlocks - p->firstMetaBg;
  EXPECT_EQ(reads, static_cast<int>((p->firstMetaBg ? 1 : 0) + metaReads));
  for (size_t g = 0; g < im_->groups.size(); ++g) {
    ASSERT_TRUE(logged.count(static_cast<long long>(g))) << "group " << g << " not logged";
    EXPECT_EQ(logged[g].first, im_->groups[g].blockBitmap) << "group " << g;
    EXPECT_EQ(logged[g].second, im_->groups[g].freeCount) << "group " << g;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, Ext2LayoutTest, ::testing::ValuesIn(ext2_test::layoutNames()),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

class Ext2ImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FSBMP_REQUIRE_TOOL("mkfs.ext4");
    FSBMP_REQUIRE_TOOL("dumpe2fs");
  }
};

TEST_F(Ext2ImageTest, ProbeAndDescriptorReadsAreLogged) {
  const Ext2Image& im = ext2Image("ext2_1k");
  ASSERT_TRUE(im.failure.empty()) << im.failure;
  DebugCapture log;
  CVoError err;
  FsParserExt2 p(im.path, &err);
  ASSERT_GE(err.code, 0) << err.toString();
  const std::string init = "FsParserExt2::init: ";
  const std::vector<std::string> expected = {
      init + "Detected ext2/3/4 FS on " + im.path,
      init + "   magic=0xef53",
      init + "   rev_level=1",
      init + "   features=sparse_super ",
      init + "   block_size=1024",
      init + "   block_cnt=20000 (19MB)",
      init + "   blocks_per_group=8192",
      init + "   group_desc_count=3",
      init + "   group_desc_size=32",
      init + "   desc_blocks=1",
      init + "   first_data_block=1",
      init + "   groups_per_flex=1",
      init + "   first_meta_bg=1",
  };
  EXPECT_EQ(log.lines, expected);

  log.lines.clear();
  ChunkBitmap got;
  ASSERT_GE(getBitmap(&p, 1024, &got).code, 0);
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(log.lines[0], "FsParserExt2::readGDT: Reading 1-block GDT from 2 of " + im.path);
  // All 32 slots of the block are read and logged, five lines each.
  EXPECT_EQ(log.lines.size(), 1u + 32 * 5);
  EXPECT_TRUE(log.contains("readGDT:   Group 31:"));
  // Blocks 0 and 1 lie before group 0's bitmap and are always used.
  EXPECT_TRUE(got.test(0) && got.test(1));
}

// A last group of 1232 blocks in a 32768-block span on a larger device: the whole-byte walk
// sets the chunks of the padding bits past the last block up to the span's end; the bit walk
// leaves everything past the last block clear.
TEST_F(Ext2ImageTest, ShortLastGroupPaddingOnlyInTheWholeByteWalk) {
  const Ext2Image& im = ext2Image("ext4_bigdev");
  ASSERT_TRUE(im.failure.empty()) << im.failure;
  ASSERT_EQ(im.blocksPerGroup, 32768);
  const long long spanEnd = static_cast<long long>(im.groups.size()) * im.blocksPerGroup;
  ASSERT_GT(spanEnd, im.blockCount);
  CVoError err;
  FsParserExt2 p(im.path, &err);
  ASSERT_GE(err.code, 0) << err.toString();

  ChunkBitmap bytes;
  ASSERT_GE(getBitmap(&p, 32768, &bytes).code, 0);
  ASSERT_EQ(bytes.nChunks, im.devSize / 32768);
  for (long long c = ceilDiv(im.blockCount, 8); c < bytes.nChunks; ++c)
    ASSERT_EQ(bytes.test(c), c < spanEnd / 8) << "chunk " << c;

  ChunkBitmap bits;
  ASSERT_GE(getBitmap(&p, 4096, &bits).code, 0);
  for (long long c = im.blockCount; c < bits.nChunks; ++c) ASSERT_FALSE(bits.test(c)) << c;
}

}  // namespace
