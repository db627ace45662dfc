// ReiserFS images made by mkreiserfs, checked against debugreiserfs's reading of their bitmaps.
#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>

#include "common/testutil.h"
#include "fsbmp/fsbmpReiserFS.h"

using namespace fsbmp_test;

namespace {

const uint64_t kSuperblock = 65536;

struct Image {
  std::string path;
  int blockSize;
  long long blockCount;
};

// Used blocks as debugreiserfs -m lists them ("#i: block N: Busy (a-b) Free(c-d) ...").
std::vector<bool> oracleUsedBlocks(const std::string& image, long long blockCount) {
  std::string out = mustRun("debugreiserfs -m '" + image + "' 2>/dev/null");
  std::vector<bool> used(blockCount, false);
  for (size_t at = out.find("Busy"); at != std::string::npos; at = out.find("Busy", at + 4)) {
    long long a = 0, b = 0;
    size_t open = out.find('(', at);
    if (open == std::string::npos || sscanf(out.c_str() + open, "(%lld-%lld)", &a, &b) != 2)
      continue;
    for (long long x = a; x <= b && x < blockCount; ++x) used[x] = true;
  }
  return used;
}

Image makeImage(const std::string& name, int blockSize, long long fileSize, long long fsBlocks) {
  Image img{scratchPath(name), blockSize, fsBlocks};
  mustRun("truncate -s " + std::to_string(fileSize) + " '" + img.path + "'");
  mustRun("mkreiserfs -f -q -b " + std::to_string(blockSize) + " '" + img.path + "' " +
          std::to_string(fsBlocks));
  return img;
}

// Marks blocks used in a copy's bitmaps and lowers the superblock's free count to match.
void markUsed(const Image& img, const std::vector<long long>& blocks) {
  std::vector<unsigned char> sb = readAt(img.path, kSuperblock, 80);
  uint32_t freeCount = getLE32(sb, 4);
  const long long bitsPerBitmap = img.blockSize * 8LL;
  for (long long b : blocks) {
    long long i = b / bitsPerBitmap;
    long long bitmapBlock = i == 0 ? 65536 / img.blockSize + 1 : i * bitsPerBitmap;
    uint64_t byteAt = bitmapBlock * img.blockSize + (b % bitsPerBitmap) / 8;
    unsigned char byte = readAt(img.path, byteAt, 1)[0];
    unsigned char bit = static_cast<unsigned char>(1u << (b % 8));
    if (!(byte & bit)) {
      patchFile(img.path, byteAt, {static_cast<unsigned char>(byte | bit)});
      --freeCount;
    }
  }
  putLE32(&sb, 4, freeCount);
  patchFile(img.path, kSuperblock, sb);
}

class ReiserFSTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!haveCommand("mkreiserfs") || !haveCommand("debugreiserfs")) return;
    // 4 KiB blocks, 8 bitmap blocks, a non-trivial used pattern across several bitmaps.
    big4k = new Image(makeImage("r4k.img", 4096, 1LL << 30, 262144));
    markUsed(*big4k, {40000, 100000, 150000, 150001, 150002, 150100, 200001, 262143});
    // The smallest block size mkreiserfs makes: 32 bitmaps, bitmap 0 at block 129.
    small512 = new Image(makeImage("r512.img", 512, 64LL << 20, 131072));
    markUsed(*small512, {4100, 4101, 70000, 131071});
    // A file system in a file larger than itself.
    inBigFile = new Image(makeImage("rbig.img", 4096, 96LL << 20, 16384));
  }
  static void TearDownTestSuite() {
    delete big4k;
    delete small512;
    delete inBigFile;
  }
  void SetUp() override {
    FSBMP_REQUIRE_TOOL("mkreiserfs");
    FSBMP_REQUIRE_TOOL("debugreiserfs");
  }

  static std::unique_ptr<FsParserReiserFS> open(const std::string& path, CVoError* err) {
    std::unique_ptr<FsParserReiserFS> p(new FsParserReiserFS(path, err));
    return p;
  }

  // Compares getBmp with the oracle at every power-of-two chunk size from the block size up.
  static void checkAgainstOracle(const Image& img) {
    CVoError err;
    auto p = open(img.path, &err);
    ASSERT_GE(err.code, 0) << err.toString();
    std::vector<bool> used = oracleUsedBlocks(img.path, img.blockCount);
    for (long long chunk = img.blockSize; chunk <= (256LL << 20); chunk *= 2) {
      SCOPED_TRACE("chunk size " + std::to_string(chunk));
      ChunkBitmap bm;
      ASSERT_GE(getBitmap(p.get(), static_cast<int>(chunk), &bm).code, 0);
      long long bpc = chunk / img.blockSize;
      std::vector<bool> expected = chunksFromBlocks(used, bpc);
      EXPECT_EQ(bm.nChunks, std::max<long long>((img.blockCount + bpc - 1) / bpc,
                                                (p->devSize - 1) / chunk + 1));
      EXPECT_TRUE(sameChunks(bm, expected, static_cast<long long>(expected.size())));
    }
  }

  static Image* big4k;
  static Image* small512;
  static Image* inBigFile;
};

Image* ReiserFSTest::big4k = nullptr;
Image* ReiserFSTest::small512 = nullptr;
Image* ReiserFSTest::inBigFile = nullptr;

TEST_F(ReiserFSTest, ProbeReadsGeometryAndFactoryPicksReiserFS) {
  DebugCapture log;
  CVoError err;
  std::unique_ptr<FsParser> p(FsParser::init(big4k->path, &err));
  ASSERT_NE(p, nullptr) << err.toString();
  EXPECT_EQ(p->fsType, FsParser::kReiserFS);
  auto* r = dynamic_cast<FsParserReiserFS*>(p.get());
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->blockSize, 4096);
  EXPECT_EQ(r->blockCount, 262144);
  EXPECT_EQ(r->fsSize, 1LL << 30);
  EXPECT_EQ(r->devSize, 1LL << 30);
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

TEST_F(ReiserFSTest, BitmapsMatchDebugreiserfsAtEveryChunkSize) {
  checkAgainstOracle(*big4k);
  checkAgainstOracle(*small512);
}

TEST_F(ReiserFSTest, ChunksPastTheFileSystemAreClearButCounted) {
  checkAgainstOracle(*inBigFile);
  CVoError err;
  auto p = open(inBigFile->path, &err);
  ASSERT_GE(err.code, 0);
  ChunkBitmap bm;
  ASSERT_GE(getBitmap(p.get(), 4096, &bm).code, 0);
  EXPECT_EQ(bm.nChunks, (96LL << 20) / 4096);
  for (long long c = 16384; c < bm.nChunks; ++c) ASSERT_FALSE(bm.test(c)) << c;
}

TEST_F(ReiserFSTest, MarkedChunkNeverTakesBitsOfAnotherChunk) {
  // 256 MiB chunks are 65536 blocks, two bitmap blocks each: block 100000 lies in chunk 1.
  CVoError err;
  auto p = open(big4k->path, &err);
  ASSERT_GE(err.code, 0);
  ChunkBitmap bm;
  ASSERT_GE(getBitmap(p.get(), 256 << 20, &bm).code, 0);
  ASSERT_EQ(bm.nChunks, 4);
  EXPECT_TRUE(bm.test(0));
  EXPECT_TRUE(bm.test(1));
  EXPECT_TRUE(bm.test(2));  // 150000 and 200001
  EXPECT_TRUE(bm.test(3));  // 262143
}

TEST_F(ReiserFSTest, BadChunkSizesAreRefused) {
  CVoError err;
  auto p = open(big4k->path, &err);
  ASSERT_GE(err.code, 0);
  struct Case {
    int chunk;
    std::string message;
  } cases[] = {
      {0, "Chunk size (0) must be a power of 2"},
      {-4096, "Chunk size (-4096) must be a power of 2"},
      {6144, "Chunk size (6144) must be a power of 2"},
      {2048, "Chunk size (2048) must be a multiple of FS block size (4096)"},
      {1, "Chunk size (1) must be a multiple of FS block size (4096)"},
  };
  for (const Case& c : cases) {
    void* bmp = reinterpret_cast<void*>(0x10);
    long long n = 99;
    CVoError e = p->getBmp(c.chunk, &bmp, &n);
    ASSERT_LT(e.code, 0);
    EXPECT_EQ(e.errNo(), EINVAL);
    EXPECT_EQ(e.message(), c.message);
    EXPECT_STREQ(e.location(0).function,
                 "virtual CVoError FsParserReiserFS::getBmp(int, void**, long long int*)");
    EXPECT_EQ(bmp, nullptr);
    EXPECT_EQ(n, 0);
  }
}

class DamagedReiserFSTest : public ReiserFSTest {
 protected:
  std::string damagedCopy(const std::string& name) {
    std::string path = scratchPath(name);
    copyFile(small512->path, path);
    return path;
  }
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
  const Image base = makeImage("journal.img", 4096, 64LL << 20, 16384);
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
    EXPECT_FALSE(oracleUsedBlocks(path, base.blockCount)[kFirstNewBlock]);

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
