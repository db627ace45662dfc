// ReiserFS images made by mkreiserfs: the probe, damaged copies and journal replay (the maps
// against debugreiserfs: tests/oracle).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "common/oracle.h"
#include "fsbmp/fsbmpReiserFS.h"
#include "reiserfs_images.h"

using namespace fsbmp_test;
using reiserfs_test::kSuperblock;

namespace {

class ReiserFSTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FSBMP_REQUIRE_TOOL("mkreiserfs");
    FSBMP_REQUIRE_TOOL("debugreiserfs");
    for (const OracleImage* im : {big4k, small512, inBigFile})
      ASSERT_TRUE(im->failure.empty()) << im->failure;
  }

  static std::unique_ptr<FsParserReiserFS> open(const std::string& path, CVoError* err) {
    std::unique_ptr<FsParserReiserFS> p(new FsParserReiserFS(path, err));
    return p;
  }
  static std::vector<bool> oracleUsedBlocks(const std::string& path) {
    return readOracle("reiserfs", path)->used;
  }

  // Images of the shared table (common/oracle.cpp).
  const OracleImage* big4k = &oracleImage("reiserfs_4k");  // 4 KiB blocks, 8 bitmap blocks
  const OracleImage* small512 = &oracleImage("reiserfs_512");
  const OracleImage* inBigFile = &oracleImage("reiserfs_in_big_file");  // 16384 blocks, 96 MiB
};

// The geometry the probe reads beyond what debugreiserfs shows (that: tests/oracle), and its log.
TEST_F(ReiserFSTest, ProbeReadsBitmapGeometryAndLogs) {
  DebugCapture log;
  CVoError err;
  std::unique_ptr<FsParserReiserFS> r = open(big4k->path, &err);
  ASSERT_GE(err.code, 0) << err.toString();
  EXPECT_EQ(r->bitsPerBitmap, 32768u);
  EXPECT_EQ(r->firstBitmapBlock, 17u);
  EXPECT_EQ(r->bitmapCount, 8u);
  ASSERT_GE(log.lines.size(), 9u);
  const std::string tag = "FsParserReiserFS::init: ";
  auto at =
      std::find(log.lines.begin(), log.lines.end(), tag + "Detected ReiserFS on " + big4k->path);
  ASSERT_NE(at, log.lines.end());
  EXPECT_EQ(*(at + 1), tag + "   magic=\"ReIsEr2Fs\"");
  EXPECT_EQ(*(at + 2), tag + "   block_size=4096");
  EXPECT_EQ(*(at + 3), tag + "   block_count=262144");
  EXPECT_EQ(*(at + 5), tag + "   bitmaps=8");
  EXPECT_EQ(*(at + 6), tag + "   state=1 (VALID)");

  CVoError e2;
  FsParserReiserFS small(small512->path, &e2);
  ASSERT_GE(e2.code, 0) << e2.toString();
  EXPECT_EQ(small.firstBitmapBlock, 129u);
  EXPECT_EQ(small.bitmapCount, 32u);
}

class DamagedReiserFSTest : public ReiserFSTest {
 protected:
  std::string damagedCopy(const std::string& name) { return copyOf(*small512, name); }
};

TEST_F(DamagedReiserFSTest, WrongMagicInAnyByteIsRefusedWithoutLogging) {
  std::string path = damagedCopy("badmagic.img");
  std::vector<unsigned char> magic = readAt(path, kSuperblock + 52, 10);
  for (size_t i = 0; i < magic.size(); ++i) {
    std::vector<unsigned char> bad = magic;
    bad[i] ^= 0x20;
    patchFile(path, kSuperblock + 52, bad);
    DebugCapture log;
    CVoError err;
    FsParserReiserFS p(path, &err);
    ASSERT_LT(err.code, 0) << "byte " << i;
    EXPECT_EQ(err.errNo(), ENOSYS);
    EXPECT_EQ(err.message(), "No ReiserFS magic found in SB of " + path);
    EXPECT_TRUE(log.lines.empty());
  }
  // The 3.5 format's magic is not accepted either.
  const char old[10] = {'R', 'e', 'I', 's', 'E', 'r', 'F', 's', 0, 0};
  patchFile(path, kSuperblock + 52, std::vector<unsigned char>(old, old + 10));
  CVoError err;
  FsParserReiserFS p(path, &err);
  EXPECT_EQ(err.errNo(), ENOSYS);
}

TEST_F(DamagedReiserFSTest, FreeCountDisagreeingWithBitmapsIsRefusedAfterLogging) {
  std::string path = damagedCopy("badfree.img");
  std::vector<unsigned char> sb = readAt(path, kSuperblock, 8);
  uint32_t freeCount = getLE32(sb, 4);
  putLE32(&sb, 4, freeCount - 1);
  patchFile(path, kSuperblock, sb);
  DebugCapture log;
  CVoError err;
  std::unique_ptr<FsParser> viaFactory(FsParser::init(path, &err));
  EXPECT_EQ(viaFactory, nullptr);
  FsParserReiserFS p(path, &err);
  ASSERT_LT(err.code, 0);
  EXPECT_EQ(err.errNo(), ENOSYS);
  EXPECT_EQ(err.message(), "Unexpected inconsistency of ReiserFS. SB on " + path +
                               " says that it has " + std::to_string(freeCount - 1) +
                               " blocks, but bitmaps argue for " + std::to_string(freeCount));
  EXPECT_TRUE(log.contains("Detected ReiserFS on " + path));
}

TEST_F(DamagedReiserFSTest, UnusableBlockSizesAreRefused) {
  std::string path = damagedCopy("badbs.img");
  for (int bs : {0, 256, 3000, 4095}) {
    std::vector<unsigned char> field(2);
    putLE16(&field, 0, static_cast<uint16_t>(bs));
    patchFile(path, kSuperblock + 44, field);
    CVoError err;
    FsParserReiserFS p(path, &err);
    ASSERT_LT(err.code, 0) << bs;
    EXPECT_EQ(err.errNo(), ENOSYS);
    EXPECT_EQ(err.message(),
              "ReiserFS SB of " + path + " has unusable block size " + std::to_string(bs));
  }
}

TEST_F(DamagedReiserFSTest, TruncatedImagesFailWithTheirReadErrors) {
  // Cut inside the bitmaps: bitmap 1 (block 4096) lies past the end.
  std::string path = damagedCopy("cut.img");
  mustRun("truncate -s " + std::to_string(4096 * 512) + " '" + path + "'");
  CVoError err;
  FsParserReiserFS p(path, &err);
  ASSERT_LT(err.code, 0);
  EXPECT_EQ(err.message(), "Couldn't read ReiserFS bitmap #1 from " + path);
  EXPECT_EQ(err.errNo(), ENOSPC);

  // Cut before the superblock ends.
  mustRun("truncate -s 66000 '" + path + "'");
  FsParserReiserFS q(path, &err);
  EXPECT_EQ(err.message(), "Couldn't read superblock from " + path);
}

}  // namespace

namespace {

// One transaction written into the journal of a copy of `base` (4 KiB blocks), as the kernel
// writes it: description block, the logged blocks (bitmap 0 with blocks 10000 to 10099 now used,
// and the superblock with its free count lowered to match), commit block; and the journal header.
struct Transaction {
  uint32_t offset;       // journal block of the description block
  uint32_t lastFlushed;  // header
  uint32_t headerMount;  // header
  uint32_t transId;
  uint32_t descMount;
  uint32_t commitLength;  // 2 matches the description block
};

const long long kFirstNewBlock = 10000;

void writeTransaction(const std::string& path, const Transaction& t) {
  const int bs = 4096;
  std::vector<unsigned char> sb = readAt(path, kSuperblock, bs);
  const uint32_t journalFirst = getLE32(sb, 12);
  const uint32_t journalSize = getLE32(sb, 20);
  auto journalBlock = [&](uint64_t i) { return (journalFirst + i % journalSize) * uint64_t{bs}; };

  std::vector<unsigned char> bitmap = readAt(path, 17 * bs, bs);
  uint32_t newlyUsed = 0;
  for (long long b = kFirstNewBlock; b < kFirstNewBlock + 100; ++b) {
    if (!(bitmap[b / 8] >> (b % 8) & 1)) ++newlyUsed;
    bitmap[b / 8] = static_cast<unsigned char>(bitmap[b / 8] | 1u << (b % 8));
  }
  putLE32(&sb, 4, getLE32(sb, 4) - newlyUsed);
  std::vector<unsigned char> desc(bs), commit(bs);
  putLE32(&desc, 0, t.transId);
  putLE32(&desc, 4, 2);
  putLE32(&desc, 8, t.descMount);
  putLE32(&desc, 12, 17);  // where the logged blocks belong
  putLE32(&desc, 16, 16);
  memcpy(desc.data() + bs - 12, "ReIsErLB", 8);
  putLE32(&commit, 0, t.transId);
  putLE32(&commit, 4, t.commitLength);
  patchFile(path, journalBlock(t.offset), desc);
  patchFile(path, journalBlock(t.offset + 1), bitmap);
  patchFile(path, journalBlock(t.offset + 2), sb);
  patchFile(path, journalBlock(t.offset + 3), commit);

  std::vector<unsigned char> header = readAt(path, (journalFirst + journalSize) * uint64_t{bs}, 12);
  putLE32(&header, 0, t.lastFlushed);
  putLE32(&header, 4, t.offset);
  putLE32(&header, 8, t.headerMount);
  patchFile(path, (journalFirst + journalSize) * uint64_t{bs}, header);
}

}  // namespace

// Transactions written into the journal: replayed in memory exactly when reiserfsck replays them,
// and the snapshot's map holds everything the replayed copy uses.
TEST_F(ReiserFSTest, JournalTransactionsNotWrittenBackAreReplayed) {
  FSBMP_REQUIRE_TOOL("reiserfsck");
  const OracleImage& base = *inBigFile;
  const uint32_t journalSize = getLE32(readAt(base.path, kSuperblock, 24), 20);
  ASSERT_EQ(journalSize, 8192u);
  struct Case {
    const char* name;
    Transaction t;
    bool replayed;
  };
  const Case cases[] = {
      {"pending", {10, 5, 3, 6, 3, 2}, true},
      {"wrapping the journal's end", {journalSize - 2, 7, 4, 8, 4, 2}, true},
      {"already written back", {10, 6, 3, 6, 3, 2}, false},
      {"of another mount", {10, 5, 3, 6, 2, 2}, false},
      {"commit block disagrees", {10, 5, 3, 6, 3, 1}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = scratchPath("journal-case.img");
    copyFile(base.path, path);
    writeTransaction(path, c.t);
    std::string out;
    run("debugreiserfs -j '" + path + "' '" + path + "' 2>&1", &out);
    // debugreiserfs lists a transaction whose commit block matches, replayable or not.
    EXPECT_EQ(out.find("transid " + std::to_string(c.t.transId)) != std::string::npos,
              c.t.commitLength == 2)
        << out;
    // The snapshot's own bitmaps call the transaction's blocks free.
    EXPECT_FALSE(oracleUsedBlocks(path)[kFirstNewBlock]);

    CVoError err;
    auto p = open(path, &err);
    ASSERT_GE(err.code, 0) << err.toString();
    ChunkBitmap bm;
    err = getBitmap(p.get(), 4096, &bm);
    ASSERT_GE(err.code, 0) << err.toString();
    // Replayed in memory: the blocks the transaction allocated are used exactly when reiserfsck
    // replays it.
    EXPECT_EQ(bm.test(kFirstNewBlock), c.replayed);
    EXPECT_EQ(p->replayedTransactions, c.replayed ? 1u : 0u);
    const ChunkBitmap fromSnapshot = std::move(bm);

    // reiserfsck agrees, and what it replays maps with the new blocks used.
    const std::string replayed = scratchPath("journal-replayed.img");
    copyFile(path, replayed);
    run("reiserfsck --check -y '" + replayed + "' 2>&1", &out);
    const bool didReplay = out.find(" 1 transactions replayed") != std::string::npos;
    EXPECT_EQ(didReplay, c.replayed) << out;
    if (!didReplay) continue;
    auto q = open(replayed, &err);
    ASSERT_GE(err.code, 0) << err.toString();
    ASSERT_GE(getBitmap(q.get(), 4096, &bm).code, 0);
    EXPECT_TRUE(bm.test(kFirstNewBlock));
    // Everything reiserfsck's replay leaves used is used in the snapshot's map.
    for (long long c2 = 0; c2 < bm.nChunks; ++c2) {
      if (bm.test(c2)) {
        ASSERT_TRUE(fromSnapshot.test(c2)) << "chunk " << c2;
      }
    }
  }

  // A journal on another device: nothing on this one tells whether it was left clean.
  const std::string path = scratchPath("journal-dev.img");
  copyFile(base.path, path);
  patchFile(path, kSuperblock + 16, {0x01, 0x08, 0, 0});
  CVoError err;
  auto p = open(path, &err);
  ASSERT_GE(err.code, 0) << err.toString();
  ChunkBitmap bm;
  err = getBitmap(p.get(), 4096, &bm);
  EXPECT_EQ(err.errNo(), ENOSYS);
  EXPECT_EQ(err.message(), "ReiserFS on " + path +
                               " keeps its journal on another device (0x801), which the "
                               "library cannot read: it cannot tell whether the journal holds "
                               "transactions not yet written back, and a map made without them "
                               "could lose data");
  EXPECT_STREQ(err.location(0).function,
               "virtual CVoError FsParserReiserFS::getBmp(int, void**, long long int*)");
}
