// Crash-consistent snapshots: ext2/3/4 images copied while mounted and busy, whose journals hold
// committed work that the on-disk maps don't show yet. The map must cover every block that the
// file system uses once e2fsck has replayed the journal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/testutil.h"
#include "ext2_images.h"
#include "fsbmp/fsbmpExt2.h"

using namespace fsbmp_test;

namespace {

// Unmounts on every path.
class Mounted {
 public:
  explicit Mounted(const std::string& dir) : dir_(dir) {}
  ~Mounted() {
    if (!dir_.empty()) run("umount '" + dir_ + "'", nullptr, true);
  }
  Mounted(const Mounted&) = delete;
  Mounted& operator=(const Mounted&) = delete;

 private:
  std::string dir_;
};

// Per block: used as dumpe2fs reads the image (the on-disk maps, without any replay); empty
// where dumpe2fs refuses them, as it does when a snapshot's bitmap and its checksum disagree.
std::vector<bool> usedBlocks(const std::string& image) {
  ext2_test::Ext2Image im;
  std::string out;
  if (run("dumpe2fs '" + image + "' 2>/dev/null", &out) != 0 || !ext2_test::parseDumpe2fs(out, &im))
    return {};
  return im.used;
}

struct Snapshot {
  const char* name;
  const char* mkfs;      // {img}
  const char* workload;  // shell, in the mounted directory {mnt}
  // The workload leaves fast commits past the last full commit. The oracle then replays by
  // mounting, as the kernel does: e2fsck 1.47.0's replay of fast commits fails ("Superblock
  // checksum does not match superblock while trying to re-open").
  bool fastCommits;
};

// Writes with fsync: every file's blocks are allocated in a committed transaction.
#define FSYNCED(count, kib)                        \
  "python3 -c \"import os\nfor i in range(" #count \
  "):\n  f=open('{mnt}/f%d'%i,'wb')\n"             \
  "  f.write(os.urandom(" #kib "*1024)); f.flush(); os.fsync(f.fileno()); f.close()\""

const Snapshot kSnapshots[] = {
    {"ext4_4k", "mkfs.ext4 -q -F {img}", FSYNCED(60, 1024), false},
    {"ext4_1k", "mkfs.ext4 -q -F -b 1024 {img}", FSYNCED(40, 256), false},
    {"ext3", "mkfs.ext3 -q -F {img}", FSYNCED(40, 256), false},
    {"uninit_bg_32bit", "mkfs.ext4 -q -F -O ^metadata_csum,^64bit,uninit_bg {img}",
     FSYNCED(40, 256), false},
    // Blocks freed and reused: revoke records keep stale copies from being replayed.
    {"revokes", "mkfs.ext4 -q -F {img}",
     "mkdir {mnt}/d && for i in $(seq 1500); do echo $i > {mnt}/d/$i; done && sync -f {mnt} && "
     "rm -rf {mnt}/d && " FSYNCED(30, 128),
     false},
    // A journal of 1024 blocks that the workload wraps.
    {"wrapped", "mkfs.ext4 -q -F -b 1024 -J size=1 {img}", FSYNCED(300, 16), false},
    // Fast commits past the last full commit: what they allocate counts used.
    {"fast_commit", "mkfs.ext4 -q -F -O fast_commit {img}", FSYNCED(40, 64), true},
};

class Ext2JournalTest : public ::testing::TestWithParam<Snapshot> {};

TEST_P(Ext2JournalTest, MapCoversWhatReplayLeavesUsed) {
  const Snapshot& s = GetParam();
  FSBMP_REQUIRE_TOOL("mkfs.ext4");
  FSBMP_REQUIRE_TOOL("e2fsck");
  FSBMP_REQUIRE_TOOL("python3");
  if (geteuid() != 0) GTEST_SKIP() << "loop mounts need root";
  const std::string live = scratchPath(std::string(s.name) + "-live.img");
  const std::string snap = scratchPath(std::string(s.name) + "-snap.img");
  const std::string mnt = scratchPath(std::string(s.name) + "-mnt");
  auto fill = [&](std::string text) {
    for (const char* key : {"{img}", "{mnt}"}) {
      const std::string value = key[1] == 'i' ? live : mnt;
      for (size_t at = text.find(key); at != std::string::npos; at = text.find(key))
        text.replace(at, 5, value);
    }
    return text;
  };
  // The snapshot, and e2fsck's replay of a copy of it: the oracle. Another program's `sync` can
  // write the maps back before the copy is taken, and then the snapshot tests nothing: it is
  // taken again, a few times at most.
  const std::string replayed = scratchPath(std::string(s.name) + "-replayed.img");
  std::vector<bool> before, after;
  long long missingOnDisk = 0;
  // Replays `image` as e2fsck or a mount would.
  auto replay = [&](const std::string& image) {
    if (!s.fastCommits) {
      run("e2fsck -fy '" + image + "'", nullptr, true);
    } else if (run("mount -o loop '" + image + "' '" + mnt + "'", nullptr, true) == 0) {
      Mounted mounted(mnt);
    }
  };
  for (int attempt = 0; attempt < 3 && missingOnDisk == 0; ++attempt) {
    mustRun("rm -f '" + live + "' && truncate -s 256M '" + live + "' && " + fill(s.mkfs) +
            " && mkdir -p '" + mnt + "'");
    {
      if (run("mount -o loop '" + live + "' '" + mnt + "'", nullptr, true) != 0)
        GTEST_SKIP() << "this machine can't loop-mount ext4";
      Mounted mounted(mnt);
      mustRun(fill(s.workload));
      mustRun("cp --sparse=always '" + live + "' '" + snap + "'");
    }
    copyFile(snap, replayed);
    replay(replayed);
    after = usedBlocks(replayed);
    before = usedBlocks(snap);
    missingOnDisk = 0;
    for (size_t b = 0; b < after.size(); ++b)
      if (after[b] && (before.empty() || (b < before.size() && !before[b]))) ++missingOnDisk;
  }
  EXPECT_GT(missingOnDisk, 0) << "the on-disk maps already show everything: no test";
  std::string out;
  ASSERT_EQ(run("dumpe2fs -h '" + snap + "' 2>/dev/null", &out), 0);
  ASSERT_NE(out.find("needs_recovery"), std::string::npos) << "the snapshot is clean: no test";

  CVoError err;
  FsParserExt2 parser(snap, &err);
  ASSERT_GE(err.code, 0) << err.toString();
  EXPECT_TRUE(parser.needsRecovery);
  ChunkBitmap map;
  err = getBitmap(&parser, parser.blockSize, &map);
  ASSERT_GE(err.code, 0) << err.toString();
  ASSERT_EQ(after.size(), static_cast<size_t>(parser.blockCount));
  long long missingInMap = 0;
  for (size_t b = 0; b < after.size(); ++b)
    if (after[b] && !map.test(static_cast<long long>(b))) ++missingInMap;
  EXPECT_EQ(missingInMap, 0) << "used after replay, free in the map";
  EXPECT_GT(parser.replayedTransactions, 0u);
  EXPECT_EQ(s.fastCommits, !parser.fastCommitExtents.empty());
  // The scan of the files reads the inodes as replayed: every inode in use after the replay, and
  // no block that the replayed maps call free.
  if (!s.fastCommits) {
    FsParserExt2 verifying(snap, &err);
    ASSERT_GE(err.code, 0) << err.toString();
    ASSERT_GE(verifying.setVerify(true).code, 0);
    ChunkBitmap verified;
    err = getBitmap(&verifying, verifying.blockSize, &verified);
    ASSERT_GE(err.code, 0) << err.toString();
    const FsParser::VerifyReport report = verifying.verifyReport();
    EXPECT_EQ(report.blocksFreeInMaps, 0u);
    ASSERT_EQ(run("dumpe2fs -h '" + replayed + "' 2>/dev/null", &out), 0);
    const auto field = [&](const std::string& name) {
      const size_t at = out.find(name + ":");
      return at == std::string::npos ? -1LL : atoll(out.c_str() + at + name.size() + 1);
    };
    EXPECT_EQ(static_cast<long long>(report.inodesScanned),
              field("Inode count") - field("Free inodes"));
  }
  // The tool says so.
  const char* cli = getenv("FSBMP_CLI");
  ASSERT_NE(cli, nullptr) << "FSBMP_CLI names the tool under test";
  const char* emulator = getenv("FSBMP_EMULATOR");
  out = mustRun(std::string(emulator ? emulator : "") + " '" + cli + "' info '" + snap + "'");
  EXPECT_NE(out.find("journal:     needs recovery: " + std::to_string(parser.replayedTransactions) +
                     " transactions"),
            std::string::npos)
      << out;

  // End to end: a copy of only the mapped blocks, checked by e2fsck (which replays its journal),
  // holds every file of the replayed snapshot with the same contents.
  const std::string copy = scratchPath(std::string(s.name) + "-copy.img");
  {
    const std::vector<unsigned char> all = readFile(snap);
    std::vector<unsigned char> mapped(all.size(), 0);
    const size_t bs = static_cast<size_t>(parser.blockSize);
    for (size_t b = 0; b * bs < all.size(); ++b) {
      if (map.test(static_cast<long long>(b)))
        std::copy(all.begin() + static_cast<long>(b * bs),
                  all.begin() + static_cast<long>(std::min(all.size(), (b + 1) * bs)),
                  mapped.begin() + static_cast<long>(b * bs));
    }
    writeFile(copy, mapped);
  }
  replay(copy);
  const std::string dirs = scratchPath(std::string(s.name) + "-files");
  mustRun("rm -rf '" + dirs + "' && mkdir -p '" + dirs + "/a' '" + dirs + "/b' && " +
          "debugfs -R 'rdump / " + dirs + "/a' '" + replayed + "' >/dev/null 2>&1 && " +
          "debugfs -R 'rdump / " + dirs + "/b' '" + copy + "' >/dev/null 2>&1");
  EXPECT_EQ(run("diff -r '" + dirs + "/a' '" + dirs + "/b'", &out, true), 0) << out;
  mustRun("rm -rf '" + live + "' '" + snap + "' '" + replayed + "' '" + copy + "' '" + dirs + "'");
}

INSTANTIATE_TEST_SUITE_P(Snapshots, Ext2JournalTest, ::testing::ValuesIn(kSnapshots),
                         [](const ::testing::TestParamInfo<Snapshot>& p) {
                           return std::string(p.param.name);
                         });

// A journal that can't be trusted, or isn't there, is refused: mapping without it would lose
// what it holds. One whose end recoveries place differently is mapped both ways.
TEST(Ext2JournalDamageTest, UntrustworthyJournalsAreRefused) {
  FSBMP_REQUIRE_TOOL("mkfs.ext4");
  FSBMP_REQUIRE_TOOL("debugfs");
  if (geteuid() != 0) GTEST_SKIP() << "loop mounts need root";
  const std::string live = scratchPath("jdamage-live.img");
  const std::string snap = scratchPath("jdamage-snap.img");
  const std::string mnt = scratchPath("jdamage-mnt");
  // Where the journal lies: its superblock, and the first data block of the log. A snapshot
  // copied while the kernel writes can be torn, so that debugfs can't read it, or be taken just
  // after a checkpoint emptied the log: it is taken again, a few times at most.
  long long bs = 0, jsb = -1, firstCopy = -1;
  std::vector<unsigned char> head;
  // The device block of the journal's block `n`, or -1 where debugfs can't tell.
  auto journalBlock = [&](uint32_t n) {
    std::string out;
    run("debugfs -R 'bmap <8> " + std::to_string(n) + "' '" + snap + "' 2>/dev/null", &out);
    char* end = nullptr;
    const long long b = strtoll(out.c_str(), &end, 10);
    return end != out.c_str() && b > 0 ? b : -1;
  };
  for (int attempt = 0; attempt < 3 && firstCopy < 0; ++attempt) {
    mustRun("rm -f '" + live + "' && truncate -s 64M '" + live + "' && mkfs.ext4 -q -F '" + live +
            "' && mkdir -p '" + mnt + "'");
    {
      if (run("mount -o loop '" + live + "' '" + mnt + "'", nullptr, true) != 0)
        GTEST_SKIP() << "this machine can't loop-mount ext4";
      Mounted mounted(mnt);
      mustRun("cd '" + mnt + "' && for i in 1 2 3 4; do head -c 65536 /dev/urandom > f$i && " +
              "sync f$i; done && cp --sparse=always '" + live + "' '" + snap + "'");
    }
    bs = 1024LL << getLE32(readAt(snap, 1024, 1024), 24);
    const long long at = journalBlock(0);
    if (at < 0) continue;
    jsb = at * bs;
    head = readAt(snap, static_cast<uint64_t>(jsb), 1024);
    const uint32_t start = getBE32(head, 0x1C);
    if (start == 0) continue;  // the log was checkpointed: nothing to damage
    const long long copy = journalBlock(start + 1);
    if (copy > 0) firstCopy = copy * bs;
  }
  ASSERT_GE(firstCopy, 0) << "no snapshot with a readable, non-empty journal in three tries";
  auto resealJournal = [](std::vector<unsigned char>* b) {
    putBE32(b, 0xFC, 0);
    putBE32(b, 0xFC, crc32cBits(0xFFFFFFFFu, b->data(), 1024));
  };

  struct Case {
    const char* name;
    std::function<void(const std::string&)> damage;
    const char* refusal;
  };
  const Case cases[] = {
      {"unknown-feature",
       [&](const std::string& path) {
         std::vector<unsigned char> b = head;
         putBE32(&b, 0x28, getBE32(b, 0x28) | 0x100);
         resealJournal(&b);
         patchFile(path, static_cast<uint64_t>(jsb), b);
       },
       "unknown incompatible features 0x00000100"},
      {"superblock-checksum",
       [&](const std::string& path) {
         std::vector<unsigned char> b = head;
         b[0x40] ^= 1;  // s_nr_users
         patchFile(path, static_cast<uint64_t>(jsb), b);
       },
       "fails its checksum (stored"},
      {"copy-checksum",
       [&](const std::string& path) {
         std::vector<unsigned char> b = readAt(path, static_cast<uint64_t>(firstCopy) + 100, 1);
         b[0] ^= 1;
         patchFile(path, static_cast<uint64_t>(firstCopy) + 100, b);
       },
       "fails its checksum"},
      {"external",
       [&](const std::string& path) {
         patchFile(path, 1024 + 224, {0, 0, 0, 0});  // s_journal_inum
         ext2_test::resealSuperblock(path);
       },
       "which is on another device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = scratchPath(std::string("jdamage-") + c.name + ".img");
    copyFile(snap, path);
    c.damage(path);
    CVoError err;
    FsParserExt2 parser(path, &err);
    ASSERT_GE(err.code, 0) << err.toString();
    ChunkBitmap map;
    err = getBitmap(&parser, parser.blockSize, &map);
    EXPECT_EQ(err.errNo(), ENOSYS) << err.toString();
    EXPECT_NE(err.toString().find(c.refusal), std::string::npos) << err.toString();
    EXPECT_EQ(map.bits, nullptr);
    mustRun("rm -f '" + path + "'");
  }

  // A commit block whose checksum fails: e2fsck ends the log before its transaction, the kernel
  // may go on. The map holds what either leaves used.
  const std::string path = scratchPath("jdamage-commit.img");
  copyFile(snap, path);
  uint64_t commit = 0;  // the log's first commit block (the journal lies in one run here)
  for (uint64_t at = static_cast<uint64_t>(firstCopy), n = 0; commit == 0 && n < 4096;
       at += static_cast<uint64_t>(bs), ++n) {
    const std::vector<unsigned char> b = readAt(path, at, 12);
    if (getBE32(b, 0) == 0xC03B3998u && getBE32(b, 4) == 2) commit = at;
  }
  ASSERT_NE(commit, 0u) << "no commit block after the log's first copy";
  patchFile(path, commit + 56, {0x5A});  // commit_nsec
  DebugCapture log;
  CVoError err;
  FsParserExt2 parser(path, &err);
  ASSERT_GE(err.code, 0) << err.toString();
  ChunkBitmap map;
  err = getBitmap(&parser, parser.blockSize, &map);
  ASSERT_GE(err.code, 0) << err.toString();
  EXPECT_TRUE(log.contains("mapped both as ending the log before it and as going on"));
  const std::string byFsck = scratchPath("jdamage-fsck.img");
  const std::string byMount = scratchPath("jdamage-mount.img");
  copyFile(path, byFsck);
  copyFile(path, byMount);
  run("e2fsck -fy '" + byFsck + "'", nullptr, true);
  std::vector<std::string> oracles = {byFsck};
  if (run("mount -o loop '" + byMount + "' '" + mnt + "'", nullptr, true) == 0) {
    { Mounted mounted(mnt); }
    oracles.push_back(byMount);
  }
  for (const std::string& oracle : oracles) {
    const std::vector<bool> used = usedBlocks(oracle);
    long long missing = 0;
    for (size_t b = 0; b < used.size(); ++b)
      if (used[b] && !map.test(static_cast<long long>(b))) ++missing;
    EXPECT_EQ(missing, 0) << oracle;
  }
  mustRun("rm -f '" + path + "' '" + byFsck + "' '" + byMount + "'");
}

// A journal on another device: refused until the caller names it, then replayed from there, as
// e2fsck replays it; a device that is not this file system's journal is refused.
TEST(Ext2JournalDamageTest, ExternalJournalNamedByTheCaller) {
  FSBMP_REQUIRE_TOOL("mkfs.ext4");
  const std::string live = scratchPath("xj-live.img");
  const std::string journal = scratchPath("xj-journal.img");
  const std::string snap = scratchPath("xj-snap.img");
  const std::string snapJournal = scratchPath("xj-snap-journal.img");
  const std::string mnt = scratchPath("xj-mnt");
  // The snapshot, and e2fsck's replay of copies of both: the oracle. Another program's `sync` can
  // write the maps back before the copy is taken, and then the snapshot tests nothing: it is
  // taken again, a few times at most.
  std::vector<bool> before, after;
  long long missingOnDisk = 0;
  for (int attempt = 0; attempt < 3 && missingOnDisk == 0; ++attempt) {
    mustRun("rm -f '" + live + "' '" + journal + "' && truncate -s 128M '" + live +
            "' && truncate -s 16M '" + journal + "' && mkdir -p '" + mnt + "'");
    {
      LoopDevice j(journal);
      if (j.device.empty()) GTEST_SKIP() << j.why;
      mustRun("mke2fs -q -F -O journal_dev -b 4096 '" + j.device +
              "' && mkfs.ext4 -q -F -b 4096 -J device='" + j.device + "' '" + live + "'");
      if (run("mount -o loop,journal_path='" + j.device + "' '" + live + "' '" + mnt + "'", nullptr,
              true) != 0)
        GTEST_SKIP() << "this machine can't mount ext4 with an external journal";
      Mounted mounted(mnt);
      mustRun("cd '" + mnt + "' && for i in 1 2 3 4 5 6; do head -c 300000 /dev/urandom > f$i && " +
              "sync f$i; done && cp --sparse=always '" + live + "' '" + snap +
              "' && cp --sparse=always '" + journal + "' '" + snapJournal + "'");
    }
    copyFile(snap, live);
    copyFile(snapJournal, journal);
    run("e2fsck -fy -j '" + journal + "' '" + live + "'", nullptr, true);
    after = usedBlocks(live);
    before = usedBlocks(snap);
    missingOnDisk = 0;
    for (size_t b = 0; b < after.size(); ++b)
      if (after[b] && b < before.size() && !before[b]) ++missingOnDisk;
  }
  EXPECT_GT(missingOnDisk, 0) << "the on-disk maps already show everything: no test";

  CVoError err;
  ChunkBitmap map;
  {
    FsParserExt2 alone(snap, &err);
    ASSERT_GE(err.code, 0) << err.toString();
    EXPECT_EQ(getBitmap(&alone, alone.blockSize, &map).errNo(), ENOSYS);
    FsParserExt2 wrong(snap, &err);
    err = wrong.setJournalDevice(live);
    EXPECT_EQ(err.errNo(), ENOSYS);
    EXPECT_NE(err.message().find("is not an ext3/4 journal device"), std::string::npos)
        << err.toString();
  }
  FsParserExt2 parser(snap, &err);
  ASSERT_GE(err.code, 0) << err.toString();
  err = parser.setJournalDevice(snapJournal);
  ASSERT_GE(err.code, 0) << err.toString();
  err = getBitmap(&parser, parser.blockSize, &map);
  ASSERT_GE(err.code, 0) << err.toString();
  EXPECT_GT(parser.replayedTransactions, 0u);
  long long missing = 0;
  for (size_t b = 0; b < after.size(); ++b)
    if (after[b] && !map.test(static_cast<long long>(b))) ++missing;
  EXPECT_EQ(missing, 0);
  mustRun("rm -rf '" + live + "' '" + journal + "' '" + snap + "' '" + snapJournal + "' '" + mnt +
          "'");
}

}  // namespace
