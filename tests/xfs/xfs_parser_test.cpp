// The XFS parser on images made by mkfs.xfs, checked against xfs_db: AG geometry, debug log,
// bitmaps of fragmented free space and deep trees, the tree descent and the block checksum;
// snapshots of mounted file systems, whose logs need recovery, checked against xfs_logprint and the
// kernel's replay.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

#include "common/oracle.h"
#include "fsbmp/fsbmpXFS.h"
#include "xfs_images.h"

using namespace fsbmp_test;
using namespace xfs_test;

namespace {

std::unique_ptr<FsParserXFS> open(const std::string& path) {
  CVoError err;
  std::unique_ptr<FsParserXFS> p(new FsParserXFS(path, &err));
  EXPECT_GE(err.code, 0) << err.toString();
  return p;
}

void expectBitmaps(const Image& im) {
  EXPECT_TRUE(mapsAsOracle(open(im.path).get(), im, PastEnd::kUsed)) << im.path;
}

// The tree block at AG-relative block `block` of AG 0, as the image holds it.
std::vector<unsigned char> blockOf(const Image& im, uint32_t block) {
  return readAt(im.path, static_cast<uint64_t>(block) * im.blockSize, im.blockSize);
}

std::vector<unsigned char> nodeBufOf(const FsParserXFS& p) {
  return std::vector<unsigned char>(p.nodeBuf.get(), p.nodeBuf.get() + p.blockSize);
}

}  // namespace

TEST(XfsProbe, AgGeometryMatchesXfsDb) {
  for (const Image* im : {&images().v5, &images().v5Small, &images().v4}) {
    SCOPED_TRACE(im->path);
    std::unique_ptr<FsParserXFS> p = open(im->path);
    EXPECT_EQ(p->agBlocks, im->agBlocks);
    EXPECT_EQ(p->agCount, im->agCount);
    EXPECT_EQ(p->hasCRC, im->version == 5);
    for (uint32_t a = 0; a < im->agCount; ++a) {
      EXPECT_EQ(p->agRoots[a], im->ags[a].byBlockRoot);
      EXPECT_EQ(p->agLengths[a], im->ags[a].length);
      EXPECT_EQ(p->agFreeBlocks[a], im->ags[a].freeBlocks);
    }
  }
  // Three AGs, the last one shorter, in a file larger than the file system.
  const Image& v5 = images().v5;
  ASSERT_EQ(v5.agCount, 3u);
  EXPECT_LT(v5.ags[2].length, v5.agBlocks);
  EXPECT_GT(v5.devSize, v5.blockCount * v5.blockSize);
}

TEST(XfsProbe, DebugLog) {
  const Image& im = images().v5;
  DebugCapture log;
  open(im.path);
  const std::string t = "FsParserXFS::init: ";
  std::vector<std::string> want = {t + "Detected XFS on " + im.path,
                                   t + "   magic=0x58465342",
                                   t + "   version=5",
                                   t + "   blocksize=4096",
                                   t + "   sectsize=4096",
                                   t + "   AG size=" + std::to_string(im.agBlocks) + " blocks",
                                   t + "   AG count=3",
                                   t + "   CRC=1"};
  for (uint32_t a = 0; a < im.agCount; ++a) {
    const AgTruth& ag = im.ags[a];
    char line[160];
    snprintf(line, sizeof line,
             "      AGF[%u]: roots=(%u, %u), levels=(%u, %u), freeblks=%u, length=%u", a,
             ag.byBlockRoot, ag.byCountRoot, ag.byBlockLevels, ag.byCountLevels, ag.freeBlocks,
             ag.length);
    want.push_back(t + line);
  }
  EXPECT_EQ(log.lines, want);

  DebugCapture v4log;
  open(images().v4.path);
  EXPECT_TRUE(v4log.contains("FsParserXFS::init:    version=4"));
  EXPECT_TRUE(v4log.contains("FsParserXFS::init:    CRC=0"));
}

// Hundreds of one-block free extents in leaves under a node (the images of tests/oracle have one
// leaf per AG).
TEST(XfsBitmap, FragmentedFreeSpaceMatchesXfsDb) {
  if (!images().fragmentSkip.empty()) GTEST_SKIP() << images().fragmentSkip;
  expectBitmaps(images().v5Small);
}

TEST(XfsBitmap, CommandLineTool) {
  const char* cli = getenv("FSBMP_CLI");
  if (!cli || !*cli) GTEST_SKIP() << "FSBMP_CLI is not set";
  const char* emu = getenv("FSBMP_EMULATOR");
  std::string prefix = std::string(emu ? emu : "") + " " + cli;
  std::string out = mustRun(prefix + " info '" + images().v4.path + "'");
  EXPECT_NE(out.find("XFS"), std::string::npos) << out;
  std::string bits = scratchPath("cli.bin");
  out = mustRun(prefix + " bitmap '" + images().v5.path + "' --chunk-size 64K --output " + bits);
  std::vector<bool> want = images().v5.expectedChunks(65536);
  std::vector<unsigned char> got = readFile(bits);
  ASSERT_EQ(got.size(), (want.size() + 7) / 8);
  for (size_t c = 0; c < want.size(); ++c) ASSERT_EQ((got[c / 8] >> (c % 8)) & 1, want[c]) << c;
}

TEST(XfsTree, FragmentedImageHasDeepTree) {
  if (!images().fragmentSkip.empty()) GTEST_SKIP() << images().fragmentSkip;
  const AgTruth& ag = images().v5Small.ags[0];
  EXPECT_GE(ag.byBlockLevels, 2u);
  EXPECT_GE(ag.leafOffsets.size(), 3u);
  EXPECT_GT(ag.freeExtents.size(), 300u);
}

// Keys and pointers of AG 0's root, read by xfs_db, decide which leaf each target reaches.
TEST(XfsTree, DescentRule) {
  if (!images().fragmentSkip.empty()) GTEST_SKIP() << images().fragmentSkip;
  const Image& im = images().v5Small;
  std::string root = mustRun("xfs_db -r -c 'agf 0' -c 'addr bnoroot' -c p '" + im.path + "'");
  std::vector<uint32_t> keys, ptrs;
  std::istringstream lines(root);
  std::string line;
  while (std::getline(lines, line)) {
    unsigned index = 0, start = 0, count = 0;
    if (sscanf(line.c_str(), "%u:[%u,%u]", &index, &start, &count) == 3) keys.push_back(start);
    if (line.compare(0, 5, "ptrs[") != 0) continue;
    std::istringstream list(line.substr(line.find('=') + 1));
    std::string item;
    while (list >> item) {
      unsigned child = 0;
      if (sscanf(item.c_str(), "%u:%u", &index, &child) == 2) ptrs.push_back(child);
    }
  }
  ASSERT_GE(keys.size(), 3u);
  ASSERT_EQ(keys.size(), ptrs.size());

  std::unique_ptr<FsParserXFS> p = open(im.path);
  const uint32_t rootBlock = im.ags[0].byBlockRoot;
  auto reaches = [&](uint32_t target, uint32_t leaf) {
    CVoError err = p->findLeaf(target, 0, rootBlock);
    if (err.code < 0) return ::testing::AssertionFailure() << err.toString();
    if (nodeBufOf(*p) != blockOf(im, leaf))
      return ::testing::AssertionFailure() << "target " << target << " missed block " << leaf;
    return ::testing::AssertionSuccess();
  };
  EXPECT_TRUE(reaches(0, ptrs[0]));
  EXPECT_TRUE(reaches(0xFFFFFFFF, ptrs.back()));
  for (size_t i = 1; i < keys.size(); ++i) {
    EXPECT_TRUE(reaches(keys[i], ptrs[i]));          // equal key: its own child
    EXPECT_TRUE(reaches(keys[i] - 1, ptrs[i - 1]));  // below it: the left neighbour's
    EXPECT_TRUE(reaches(keys[i] + 1, ptrs[i]));
  }
}

TEST(XfsTree, RootLeafIsTheLeaf) {
  const Image& im = images().v4;
  ASSERT_EQ(im.ags[0].byBlockLevels, 1u);
  std::unique_ptr<FsParserXFS> p = open(im.path);
  ASSERT_GE(p->findLeaf(12345, 0, im.ags[0].byBlockRoot).code, 0);
  EXPECT_EQ(nodeBufOf(*p), blockOf(im, im.ags[0].byBlockRoot));
}

TEST(XfsTree, ChecksumAcceptsXfsBlocksAndRejectsEveryFlippedBit) {
  const Image& im = images().v5Small;
  std::unique_ptr<FsParserXFS> p = open(im.path);
  std::vector<unsigned char> block = blockOf(im, im.ags[0].byBlockRoot);
  ASSERT_GE(p->verifyBlockCRC32C(block.data()).code, 0);
  const uint32_t stored = getLE32(block, 52);
  ASSERT_EQ(stored, treeBlockCRC(block));

  for (size_t i = 0; i < block.size(); ++i) {
    if (i >= 52 && i < 56) continue;
    std::vector<unsigned char> flipped = block;
    flipped[i] ^= static_cast<unsigned char>(1u << (i % 8));
    CVoError err = p->verifyBlockCRC32C(flipped.data());
    ASSERT_LT(err.code, 0) << "flip at byte " << i << " passed";
    ASSERT_EQ(err.errNo(), ENOSYS);
    if (i == 100) {
      char want[64];
      snprintf(want, sizeof want, "Invalid B+tree CRC: 0x%08x instead of 0x%08x",
               treeBlockCRC(flipped), stored);
      EXPECT_EQ(err.message(), want);
      EXPECT_STREQ(err.location(0).function,
                   "CVoError FsParserXFS::verifyBlockCRC32C(const void*)");
    }
    if (i % 97 == 0) {  // the right checksum makes the changed block pass
      putLE32(&flipped, 52, treeBlockCRC(flipped));
      ASSERT_GE(p->verifyBlockCRC32C(flipped.data()).code, 0) << i;
    }
  }
  std::vector<unsigned char> wrongField = block;
  wrongField[55] ^= 0x80;
  EXPECT_LT(p->verifyBlockCRC32C(wrongField.data()).code, 0);

  // Version 4 blocks carry no checksum: bytes 52 to 55 are records.
  std::unique_ptr<FsParserXFS> v4 = open(images().v4.path);
  std::vector<unsigned char> leaf = blockOf(images().v4, images().v4.ags[0].byBlockRoot);
  putBE32(&leaf, 52, 0xDEADBEEF);
  leaf[9] ^= 1;
  EXPECT_GE(v4->verifyBlockCRC32C(leaf.data()).code, 0);
}

namespace {

// An image mounted through a loop device: thawed, unmounted and detached on every way out.
class LoopMount {
 public:
  ~LoopMount() { stop(); }
  // Returns why the image could not be mounted, or "".
  std::string start(const std::string& image, const std::string& options = "defaults") {
    if (geteuid() != 0) return "loop mounts need root";
    if (!haveCommand("losetup") || !haveCommand("mount")) return "losetup or mount is missing";
    std::string out;
    if (run("losetup -f --show '" + image + "'", &out, true) != 0)
      return "no loop device available: " + out;
    device_ = out.substr(0, out.find_first_of("\r\n"));
    dir = image + ".mnt";
    mkdir(dir.c_str(), 0700);
    if (run("mount -t xfs -o " + options + " '" + device_ + "' '" + dir + "'", &out, true) != 0)
      return "couldn't mount XFS through a loop device: " + out;
    mounted_ = true;
    return "";
  }
  bool freeze() { return frozen_ = run("xfs_freeze -f '" + dir + "'") == 0; }
  // Returns what failed, or "".
  std::string stop() {
    std::string out, failed;
    if (frozen_ && run("xfs_freeze -u '" + dir + "'", &out, true) != 0) failed += out;
    frozen_ = false;
    if (mounted_ && run("umount '" + dir + "'", &out, true) != 0) failed += out;
    mounted_ = false;
    if (!device_.empty() && run("losetup -d '" + device_ + "'", &out, true) != 0) failed += out;
    device_.clear();
    return failed;
  }
  std::string dir;

 private:
  std::string device_;
  bool mounted_ = false;
  bool frozen_ = false;
};

// Creates `count` files of `bytes` bytes in `dir`, each synced before the next: every one is a
// transaction in the log.
bool writeSyncedFiles(const std::string& dir, int count, size_t bytes) {
  const std::vector<char> data(bytes, 'x');
  for (int i = 0; i < count; ++i) {
    const std::string path = dir + "/f" + std::to_string(i);
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = write(fd, data.data(), bytes) == static_cast<ssize_t>(bytes) && fsync(fd) == 0;
    close(fd);
    if (!ok) return false;
  }
  return true;
}

// Tail, head and state as "xfs_logprint -t" prints them ("log tail: T head: H state: <S>").
struct LogPrint {
  long long tail = -1;
  long long head = -1;
  std::string state;
};
LogPrint logPrint(const std::string& path) {
  LogPrint lp;
  const std::string out = mustRun("xfs_logprint -t '" + path + "'");
  const size_t at = out.find("log tail: ");
  char state[16] = "";
  if (at == std::string::npos ||
      sscanf(out.c_str() + at, "log tail: %lld head: %lld state: <%15[A-Z]>", &lp.tail, &lp.head,
             state) != 3) {
    ADD_FAILURE() << "no log state in xfs_logprint's output:\n" << out;
  }
  lp.state = state;
  return lp;
}

// Where xfs_logprint finds the log, as a byte offset in the image.
uint64_t logOffset(const std::string& path) {
  const std::string out = mustRun("xfs_logprint -t '" + path + "'");
  long long start = 0;
  const size_t at = out.find("daddr: ");
  if (at == std::string::npos || sscanf(out.c_str() + at, "daddr: %lld", &start) != 1)
    ADD_FAILURE() << "no log address in xfs_logprint's output:\n" << out;
  return static_cast<uint64_t>(start) * 512;
}

// Chunks set in `map` that the replayed oracle calls free, and used chunks it left free.
void compareWithReplay(const ChunkBitmap& map, const std::vector<bool>& replayed,
                       const std::vector<bool>& onDisk, long long* missing, long long* extra) {
  *missing = *extra = 0;
  for (size_t c = 0; c < replayed.size(); ++c) {
    const bool used = map.test(static_cast<long long>(c));
    if (replayed[c] && !used) ++*missing;
    if (used && !replayed[c] && !(c < onDisk.size() && onDisk[c])) ++*extra;
  }
}

}  // namespace

// A by-block tree of three levels (a node above the nodes above the leaves), made by punching
// 10,240 one-block holes into the last 20 MiB of a 24 MiB file on 1 KiB blocks: the descent and
// the walk along the leaves of several parents give xfs_db's free extents. Three-block holes in
// the file's first 4 MiB come after them in the by-count tree, at lower block numbers: the file
// scan's order check along a level follows each tree's own key.
TEST(XfsTree, ThreeLevelTreeMatchesXfsDb) {
  FSBMP_REQUIRE_TOOL("xfs_io");
  const std::string image = scratchPath("deep.img");
  const std::string commands = scratchPath("deep.xfs_io");
  mustRun("truncate -s 48m '" + image +
          "' && TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 mkfs.xfs -f -q -b size=1024 -d agcount=2 '" +
          image + "'");
  std::string text = "falloc 0 24m\n";
  for (int k = 0; k < 4 * 1024; k += 4) text += "fpunch " + std::to_string(k * 1024) + " 3k\n";
  for (int k = 4 * 1024; k < 24 * 1024; k += 2)
    text += "fpunch " + std::to_string(k * 1024) + " 1k\n";
  writeFile(commands, std::vector<unsigned char>(text.begin(), text.end()));
  {
    LoopMount m;
    const std::string why = m.start(image);
    if (!why.empty()) GTEST_SKIP() << why;
    mustRun("xfs_io -f '" + m.dir + "/holes' < '" + commands + "' > /dev/null");
    ASSERT_EQ(m.stop(), "");
  }
  const Image im = describe(image);
  ASSERT_GE(im.ags[0].byBlockLevels, 3u);
  expectBitmaps(im);
  CVoError err;
  FsParserXFS plain(image, &err), verified(image, &err);
  ASSERT_GE(err.code, 0) << err.toString();
  ASSERT_GE(verified.setVerify(true).code, 0);
  ChunkBitmap a, b;
  ASSERT_GE(getBitmap(&plain, 1024, &a).code, 0);
  err = getBitmap(&verified, 1024, &b);
  ASSERT_GE(err.code, 0) << err.toString();
  EXPECT_EQ(memcmp(a.bits.get(), b.bits.get(), static_cast<size_t>((a.nChunks + 7) / 8)), 0);
  EXPECT_EQ(verified.verifyReport().blocksFreeInMaps, 0u);
  mustRun("rm -f '" + image + "' '" + commands + "'");
}

// A copy of a mounted file system's image: its log holds files that its free-space trees do not
// know yet. getBmp replays the log in memory: its map holds every block that the kernel's own
// replay (a mount of a copy) leaves used, and what the device's trees call used besides; a copy
// of only those blocks, once mounted, holds every file.
TEST(XfsLog, SnapshotsOfMountedFileSystemsMapAsReplayLeavesThem) {
  FSBMP_REQUIRE_TOOL("xfs_logprint");
  struct Case {
    const char* name;
    const char* mkfs;
    int files;
    size_t bytes;
    bool freeze;
    bool wraps;  // the log has come round at least once
    const char* mount = "defaults";
    bool bigRecords = false;  // records of more than 32 KiB, with extended headers
  };
  const Case cases[] = {
      {"4k", "-b size=4096", 60, 65536, false, false},
      // The log in AG 1 of AGs of 20480 blocks (not a power of two); a log of 8192 basic blocks
      // written round more than once.
      {"1k-wrapped", "-b size=1024 -d agsize=20m -l size=4m", 1000, 3000, false, true},
      // A frozen XFS keeps a log that still needs recovery.
      {"frozen", "-b size=4096", 20, 4096, true, false},
      // Records of up to 256 KiB: a thousand files created, then one fsync for all of them.
      {"256k-records", "-b size=4096", 20, 65536, false, false, "logbsize=256k", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = scratchPath(std::string("live-") + c.name + ".img");
    const std::string snap = scratchPath(std::string("snap-") + c.name + ".img");
    const std::string replayed = scratchPath(std::string("replayed-") + c.name + ".img");
    const std::string copy = scratchPath(std::string("copy-") + c.name + ".img");
    mustRun("truncate -s 64m '" + image +
            "' && TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 mkfs.xfs -f -q " + c.mkfs + " '" + image +
            "'");
    {
      LoopMount m;
      const std::string why = m.start(image, c.mount);
      if (!why.empty()) GTEST_SKIP() << why;
      if (c.bigRecords)
        mustRun("cd '" + m.dir + "' && for i in $(seq 1000); do echo $i > u$i; done && sync u1");
      ASSERT_TRUE(writeSyncedFiles(m.dir, c.files, c.bytes));
      if (c.freeze) {
        ASSERT_TRUE(m.freeze());
      }
      mustRun("cp --sparse=always '" + image + "' '" + snap + "'");
      ASSERT_EQ(m.stop(), "");
    }
    const LogPrint dirty = logPrint(snap);
    ASSERT_EQ(dirty.state, "DIRTY");
    if (c.bigRecords) {
      uint32_t longest = 0;
      const uint64_t log = logOffset(snap);
      for (long long b = dirty.tail; b < dirty.head; ++b) {
        const std::vector<unsigned char> h = readAt(snap, log + static_cast<uint64_t>(b) * 512, 16);
        if (getBE32(h, 0) == 0xFEEDBABE) longest = std::max(longest, getBE32(h, 12));
      }
      EXPECT_GT(longest, 32768u) << "no record with extended headers: no test";
    }
    // The kernel's replay: mount a copy once.
    mustRun("cp --sparse=always '" + snap + "' '" + replayed + "'");
    {
      LoopMount m;
      ASSERT_EQ(m.start(replayed), "");
      ASSERT_EQ(m.stop(), "");
    }

    DebugCapture log;
    std::unique_ptr<FsParserXFS> p = open(snap);
    ChunkBitmap map;
    CVoError err = getBitmap(p.get(), p->blockSize, &map);
    ASSERT_GE(err.code, 0) << err.toString();
    EXPECT_TRUE(log.contains(": needs recovery"));
    EXPECT_TRUE(log.contains(" replayed in memory from log block "));
    EXPECT_EQ(c.wraps, !log.contains(" of cycle 1: "));
    EXPECT_TRUE(p->logNeedsRecovery);
    EXPECT_GT(p->replayedTransactions, 0u);
    // The tool says so.
    const char* cli = getenv("FSBMP_CLI");
    ASSERT_NE(cli, nullptr) << "FSBMP_CLI names the tool under test";
    const char* emulator = getenv("FSBMP_EMULATOR");
    const std::string out =
        mustRun(std::string(emulator ? emulator : "") + " '" + cli + "' info '" + snap + "'");
    EXPECT_NE(out.find("journal:     needs recovery: " + std::to_string(p->replayedTransactions) +
                       " transactions"),
              std::string::npos)
        << out;

    const std::vector<bool> after = describe(replayed).expectedChunks(p->blockSize);
    const std::vector<bool> before = describe(snap).expectedChunks(p->blockSize);
    long long missing = 0, extra = 0, missingOnDisk = 0, ignored = 0;
    compareWithReplay(map, after, before, &missing, &extra);
    EXPECT_EQ(missing, 0) << "used after the kernel's replay, free in the map";
    EXPECT_EQ(extra, 0) << "used in the map, free both before and after replay";
    ChunkBitmap onDisk;
    onDisk.nChunks = static_cast<long long>(before.size());
    onDisk.bits.reset(static_cast<unsigned char*>(calloc((before.size() + 7) / 8, 1)));
    for (size_t b = 0; b < before.size(); ++b)
      if (before[b]) onDisk.bits.get()[b / 8] |= static_cast<unsigned char>(1u << (b % 8));
    compareWithReplay(onDisk, after, before, &missingOnDisk, &ignored);
    if (!c.freeze) {
      EXPECT_GT(missingOnDisk, 0) << "the device's trees already show everything: no test";
    }
    // The scan of the files reads the inodes as the log replays them (every file written), and
    // finds nothing in use that the replayed trees call free.
    {
      std::unique_ptr<FsParserXFS> v = open(snap);
      ASSERT_GE(v->setVerify(true).code, 0);
      ChunkBitmap verified;
      err = getBitmap(v.get(), v->blockSize, &verified);
      ASSERT_GE(err.code, 0) << err.toString();
      EXPECT_TRUE(v->verifyReport().ran);
      EXPECT_EQ(v->verifyReport().blocksFreeInMaps, 0u);
      EXPECT_GE(v->verifyReport().inodesScanned, static_cast<uint64_t>(c.files));
      long long vMissing = 0, vExtra = 0;
      compareWithReplay(verified, after, before, &vMissing, &vExtra);
      EXPECT_EQ(vMissing + vExtra, 0);
    }

    // End to end: only the mapped blocks, mounted (the kernel replays the log), hold every file.
    {
      const std::vector<unsigned char> all = readFile(snap);
      std::vector<unsigned char> kept(all.size(), 0);
      const size_t bs = static_cast<size_t>(p->blockSize);
      for (size_t b = 0; b * bs < all.size(); ++b) {
        if (map.test(static_cast<long long>(b)))
          std::copy(all.begin() + static_cast<long>(b * bs),
                    all.begin() + static_cast<long>(std::min(all.size(), (b + 1) * bs)),
                    kept.begin() + static_cast<long>(b * bs));
      }
      writeFile(copy, kept);
    }
    {
      LoopMount m;
      ASSERT_EQ(m.start(copy), "");
      const std::string want(c.bytes, 'x');
      for (int i = 0; i < c.files; ++i) {
        const std::vector<unsigned char> got = readFile(m.dir + "/f" + std::to_string(i));
        ASSERT_EQ(std::string(got.begin(), got.end()), want) << "f" << i;
      }
      ASSERT_EQ(m.stop(), "");
    }
    mustRun("rm -f '" + image + "' '" + snap + "' '" + replayed + "' '" + copy + "'");
  }
}

// A log record (without extended headers) as the device holds it, and its payload with the
// first word of each basic block restored from the header's cycle data.
struct LogRecord {
  uint64_t at = 0;
  std::vector<unsigned char> header;
  std::vector<unsigned char> payload;

  static LogRecord read(const std::string& path, uint64_t at) {
    LogRecord r;
    r.at = at;
    r.header = readAt(path, at, 512);
    const uint32_t length = getBE32(r.header, 12);
    r.payload = readAt(path, at + 512, (length + 511) / 512 * 512);
    for (size_t b = 0; b * 512 < r.payload.size(); ++b)
      std::copy_n(r.header.begin() + static_cast<long>(44 + 4 * b), 4,
                  r.payload.begin() + static_cast<long>(512 * b));
    return r;
  }
  // Stamps the cycle back, seals the CRC (over 328 header bytes and the payload) and writes it.
  void write(const std::string& path) {
    std::vector<unsigned char> stamped = payload;
    for (size_t b = 0; b * 512 < payload.size(); ++b) {
      std::copy_n(payload.begin() + static_cast<long>(512 * b), 4,
                  header.begin() + static_cast<long>(44 + 4 * b));
      std::copy_n(header.begin() + 4, 4, stamped.begin() + static_cast<long>(512 * b));
    }
    putLE32(&header, 32, 0);
    uint32_t crc = crc32cBits(0xFFFFFFFFu, header.data(), 328);
    crc = crc32cBits(crc, stamped.data(), getBE32(header, 12));
    putLE32(&header, 32, ~crc);
    patchFile(path, at, header);
    patchFile(path, at + 512, stamped);
  }
};

// Rewrites a little-endian host's records as a big-endian host would have written them: h_fmt,
// the transaction headers, and the type and size of every item (all of a buffer item's format).
void toBigEndianHost(const std::string& path, const std::vector<uint64_t>& headers) {
  auto swap = [](std::vector<unsigned char>* v, size_t at, size_t n) {
    std::reverse(v->begin() + static_cast<long>(at), v->begin() + static_cast<long>(at + n));
  };
  struct Open {
    bool header = false;
    unsigned regionsLeft = 0;
  };
  std::map<uint32_t, Open> open;
  for (uint64_t at : headers) {
    LogRecord r = LogRecord::read(path, at);
    ASSERT_EQ(getBE32(r.header, 300), 1u) << "not a little-endian host's log";
    putBE32(&r.header, 300, 2);
    std::vector<unsigned char>& d = r.payload;
    size_t p = 0;
    for (uint32_t op = getBE32(r.header, 40); op > 0; --op) {
      const uint32_t tid = getBE32(d, p);
      const uint32_t length = getBE32(d, p + 4);
      const unsigned flags = d[p + 9];
      const size_t region = p + 12;
      p = region + length;
      if (flags & 0x01) open[tid] = Open();
      if (flags & (0x01 | 0x02 | 0x20) || !open.count(tid)) {
        if (flags & (0x02 | 0x20)) open.erase(tid);
        continue;
      }
      Open& t = open[tid];
      if (flags & 0x08) {  // the rest of a region: a format region never comes in pieces here
        ASSERT_TRUE(t.header && t.regionsLeft > 0) << "a split format region";
        continue;
      }
      if (!t.header) {
        ASSERT_EQ(length, 16u);
        for (size_t w = 0; w < 16; w += 4) swap(&d, region + w, 4);
        t.header = true;
      } else if (t.regionsLeft == 0) {
        const uint16_t type = static_cast<uint16_t>(d[region] | d[region + 1] << 8);
        t.regionsLeft = static_cast<unsigned>(d[region + 2] | d[region + 3] << 8) - 1;
        swap(&d, region, 2);
        swap(&d, region + 2, 2);
        if (type == 0x123C) {  // buffer: flags, length, block number, map size, map
          const uint32_t words = getLE32(d, region + 16);
          swap(&d, region + 4, 2);
          swap(&d, region + 6, 2);
          swap(&d, region + 8, 8);
          for (size_t w = 0; w <= words; ++w) swap(&d, region + 16 + 4 * w, 4);
        }
      } else {
        --t.regionsLeft;
      }
    }
    r.write(path);
  }
}

// Edited copies of a dirty log. A CRC failure among the last records before the head is a write
// that never finished, and the head moves back over it as at mount; one further back, or a
// record of another file system, is refused. A log that a big-endian host wrote maps as the
// little-endian original does.
TEST(XfsLog, EditedLogs) {
  FSBMP_REQUIRE_TOOL("xfs_logprint");
  const std::string image = scratchPath("dlive.img");
  const std::string snap = scratchPath("dsnap.img");
  mustRun("truncate -s 64m '" + image +
          "' && TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 mkfs.xfs -f -q '" + image + "'");
  {
    LoopMount m;
    const std::string why = m.start(image);
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(writeSyncedFiles(m.dir, 30, 65536));
    mustRun("cd '" + m.dir + "' && rm f3 f7 && sync -f . && mkdir big");
    ASSERT_TRUE(writeSyncedFiles(m.dir + "/big", 2, 300000));
    mustRun("cp --sparse=always '" + image + "' '" + snap + "'");
    ASSERT_EQ(m.stop(), "");
  }
  const LogPrint dirty = logPrint(snap);
  ASSERT_EQ(dirty.state, "DIRTY");
  const uint64_t log = logOffset(snap);
  // The record headers from the tail to the head.
  std::vector<uint64_t> headers;
  for (long long b = dirty.tail; b < dirty.head; ++b) {
    if (getBE32(readAt(snap, log + static_cast<uint64_t>(b) * 512, 4), 0) == 0xFEEDBABE)
      headers.push_back(log + static_cast<uint64_t>(b) * 512);
  }
  ASSERT_GT(headers.size(), 10u);
  std::unique_ptr<FsParserXFS> original = open(snap);
  ChunkBitmap originalMap;
  ASSERT_GE(getBitmap(original.get(), original->blockSize, &originalMap).code, 0);

  struct Case {
    const char* name;
    std::function<void(const std::string&)> edit;
    const char* refusal;  // null when it maps
    bool kernelReplays;   // the kernel's replay is the oracle; else the unedited log's map
  };
  const Case cases[] = {
      {"torn last record",
       [&](const std::string& p) {
         patchFile(p, headers.back() + 512 + 100, {0xA5, 0x5A});
       },
       nullptr, true},
      {"bad CRC further back",
       [&](const std::string& p) {
         patchFile(p, headers[1] + 512 + 100, {0xA5, 0x5A});
       },
       "record fails its CRC", false},
      {"another file system's record",
       [&](const std::string& p) {
         LogRecord r = LogRecord::read(p, headers[1]);
         r.header[304] ^= 0xFF;
         r.write(p);
       },
       "record of another file system (UUID differs)", false},
      // The kernel replays only its own byte order.
      {"big-endian host", [&](const std::string& p) { toBigEndianHost(p, headers); }, nullptr,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = scratchPath("edited.img");
    mustRun("cp --sparse=always '" + snap + "' '" + path + "'");
    c.edit(path);
    std::unique_ptr<FsParserXFS> p = open(path);
    ChunkBitmap map;
    CVoError err = getBitmap(p.get(), p->blockSize, &map);
    if (c.refusal) {
      EXPECT_EQ(err.errNo(), ENOSYS);
      EXPECT_NE(err.message().find(c.refusal), std::string::npos) << err.toString();
      EXPECT_NE(err.message().find("can't be replayed"), std::string::npos) << err.toString();
      continue;
    }
    ASSERT_GE(err.code, 0) << err.toString();
    if (!c.kernelReplays) {
      EXPECT_EQ(p->replayedTransactions, original->replayedTransactions);
      EXPECT_EQ(p->replayedBuffers, original->replayedBuffers);
      ASSERT_EQ(map.nChunks, originalMap.nChunks);
      EXPECT_EQ(
          memcmp(map.bits.get(), originalMap.bits.get(), static_cast<size_t>(map.nChunks + 7) / 8),
          0);
      continue;
    }
    // The kernel mounts the same edited image: nothing it keeps is free in the map.
    const std::string replayed = scratchPath("edited-replayed.img");
    mustRun("cp --sparse=always '" + path + "' '" + replayed + "'");
    {
      LoopMount m;
      ASSERT_EQ(m.start(replayed), "");
      ASSERT_EQ(m.stop(), "");
    }
    long long missing = 0, extra = 0;
    compareWithReplay(map, describe(replayed).expectedChunks(p->blockSize),
                      describe(path).expectedChunks(p->blockSize), &missing, &extra);
    EXPECT_EQ(missing, 0);
  }
}

// A log on another device: refused until the caller names it, then replayed from there; a
// device that is not the log is refused.
TEST(XfsLog, ExternalLogNamedByTheCaller) {
  const std::string image = scratchPath("xlive.img");
  const std::string logFile = scratchPath("xlive.log");
  const std::string snap = scratchPath("xsnap.img");
  const std::string snapLog = scratchPath("xsnap.log");
  mustRun("truncate -s 64m '" + image + "' && truncate -s 16m '" + logFile +
          "' && TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 mkfs.xfs -f -q -l logdev='" + logFile +
          "',size=2000b '" + image + "'");
  {
    LoopDevice log(logFile);
    if (log.device.empty()) GTEST_SKIP() << log.why;
    LoopMount m;
    const std::string why = m.start(image, "logdev=" + log.device);
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(writeSyncedFiles(m.dir, 30, 65536));
    mustRun("cp --sparse=always '" + image + "' '" + snap + "' && cp --sparse=always '" + logFile +
            "' '" + snapLog + "'");
    ASSERT_EQ(m.stop(), "");
  }
  ChunkBitmap map;
  std::unique_ptr<FsParserXFS> alone = open(snap);
  EXPECT_EQ(getBitmap(alone.get(), 4096, &map).errNo(), ENOSYS);
  std::unique_ptr<FsParserXFS> wrong = open(snap);
  ASSERT_GE(wrong->setJournalDevice(image).code, 0);
  EXPECT_EQ(getBitmap(wrong.get(), 4096, &map).errNo(), ENOSYS);

  std::unique_ptr<FsParserXFS> p = open(snap);
  CVoError err = p->setJournalDevice(snapLog);
  ASSERT_GE(err.code, 0) << err.toString();
  err = getBitmap(p.get(), p->blockSize, &map);
  ASSERT_GE(err.code, 0) << err.toString();
  EXPECT_TRUE(p->logNeedsRecovery);
  EXPECT_GT(p->replayedTransactions, 0u);
  EXPECT_EQ(p->setJournalDevice(snapLog).errNo(), EINVAL);  // too late: the log was read

  // The kernel's replay of copies of both.
  mustRun("cp --sparse=always '" + snap + "' '" + image + "' && cp --sparse=always '" + snapLog +
          "' '" + logFile + "'");
  {
    LoopDevice log(logFile);
    LoopMount m;
    ASSERT_EQ(m.start(image, "logdev=" + log.device), "");
    ASSERT_EQ(m.stop(), "");
  }
  long long missing = 0, extra = 0;
  compareWithReplay(map, describe(image).expectedChunks(p->blockSize),
                    describe(snap).expectedChunks(p->blockSize), &missing, &extra);
  EXPECT_EQ(missing, 0);
  mustRun("rm -f '" + image + "' '" + logFile + "' '" + snap + "' '" + snapLog + "'");
}
