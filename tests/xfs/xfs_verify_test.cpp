// The file scan behind setVerify on XFS: undamaged images map the same with it, a by-block tree
// that calls a live file's blocks free while its counts agree is caught only by the scan, and
// hostile inodes are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/oracle.h"
#include "common/testutil.h"
#include "fsbmp/fsbmpXFS.h"
#include "xfs_images.h"

using namespace fsbmp_test;

namespace {

// A file system made from a prototype, with no mount: two files laid out one after the other,
// the free space of AG 0 right after the second.
struct Populated {
  const char* name;
  const char* options;
  bool crc;
  bool realtime;  // with a realtime device of its own, IMAGE.rt
};
const Populated kPopulated[] = {{"v5", "-m crc=1", true, false},
                                {"v4", "-m crc=0", false, false},
                                {"rmap", "-m crc=1,rmapbt=1", true, false},
                                {"realtime", "-m crc=1,reflink=0", true, true}};

class XfsVerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FSBMP_REQUIRE_TOOL("mkfs.xfs");
    FSBMP_REQUIRE_TOOL("xfs_db");
  }

  static std::string populated(const Populated& p) {
    const std::string dir = scratchPath(std::string("proto-") + p.name);
    const std::string img = dir + ".img";
    mustRun("mkdir -p '" + dir + "' && head -c 300000 /dev/urandom > '" + dir +
            "/small' && head -c 1000000 /dev/urandom > '" + dir + "/big' && printf '%s\\n' " +
            "/dev/null '0 0' 'd--755 0 0' 'small ---644 0 0 " + dir + "/small' 'big ---644 0 0 " +
            dir + "/big' '$' '$' > '" + dir + ".proto' && truncate -s 64m '" + img + "' && " +
            (p.realtime ? "truncate -s 32m '" + img + ".rt' && " : std::string()) + FSBMP_MKFS_XFS +
            p.options + (p.realtime ? " -r rtdev='" + img + ".rt'" : std::string()) + " -p '" +
            dir + ".proto' '" + img + "'");
    return img;
  }
  static std::string db(const std::string& path, const std::string& commands) {
    return mustRun("xfs_db -r " + commands + " '" + path + "'");
  }
  static unsigned long long field(const std::string& text, const std::string& name) {
    const size_t at = text.find(name + " = ");
    EXPECT_NE(at, std::string::npos) << name << " in " << text;
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + name.size() + 3), nullptr, 0);
  }
  // The inode of a file in the root directory, and its byte in the image.
  static unsigned long long inodeOf(const std::string& path, const std::string& file,
                                    unsigned long long* byte) {
    const std::string root = db(path, "-c 'inode 128' -c p");
    const size_t at = root.find("name = \"" + file + "\"");
    EXPECT_NE(at, std::string::npos) << root;
    const unsigned long long ino = field(root.substr(at), "inumber.i4");
    *byte =
        std::stoull(db(path, "-c 'convert inode " + std::to_string(ino) + " byte'"), nullptr, 0);
    return ino;
  }

  static CVoError map(const std::string& path, bool verify, ChunkBitmap* got,
                      FsParser::VerifyReport* report) {
    CVoError err;
    FsParserXFS p(path, &err);
    if (err.code < 0) return err;
    if (verify) err = p.setVerify(true);
    if (err.code >= 0) err = getBitmap(&p, p.blockSize, got);
    *report = p.verifyReport();
    return err;
  }
};

TEST_F(XfsVerifyTest, UndamagedImagesMapTheSame) {
  std::vector<std::string> paths;
  for (const std::string& name : imageNames("xfs")) {
    const OracleImage& im = oracleImage(name);
    ASSERT_TRUE(im.failure.empty()) << im.failure;
    paths.push_back(im.path);
  }
  for (const Populated& p : kPopulated) paths.push_back(populated(p));
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    ChunkBitmap plain, verified;
    FsParser::VerifyReport report;
    CVoError err = map(path, false, &plain, &report);
    ASSERT_GE(err.code, 0) << err.toString();
    EXPECT_FALSE(report.ran);
    err = map(path, true, &verified, &report);
    ASSERT_GE(err.code, 0) << err.toString();
    ASSERT_EQ(plain.nChunks, verified.nChunks);
    EXPECT_EQ(
        memcmp(plain.bits.get(), verified.bits.get(), static_cast<size_t>((plain.nChunks + 7) / 8)),
        0);
    EXPECT_TRUE(report.ran);
    EXPECT_GT(report.inodesScanned, 0u);
    EXPECT_EQ(report.blocksFreeInMaps, 0u);
  }
}

// The by-block and by-count records of AG 0's free extent are widened down over the last blocks
// of the file before it, the AGF's free count and longest extent raised to match and every
// checksum recomputed: the ordinary walk accepts it, only the scan tells.
TEST_F(XfsVerifyTest, BlocksTheTreesCallFreeAreFoundAndReported) {
  for (const Populated& p : kPopulated) {
    SCOPED_TRACE(p.name);
    const std::string original = populated(p);
    const xfs_test::Image truth = xfs_test::describe(original);
    const std::string path = original + ".hidden";
    copyFile(original, path);
    unsigned long long inodeByte = 0;
    const unsigned long long ino = inodeOf(path, "big", &inodeByte);
    // xfs_db's own view of the file: its one extent, and the free extent right after it.
    unsigned long long offset = 0, start = 0, count = 0;
    const std::string bmap = db(path, "-c 'inode " + std::to_string(ino) + "' -c bmap");
    ASSERT_EQ(sscanf(bmap.c_str(), "data offset %llu startblock %llu (%*u/%*u) count %llu", &offset,
                     &start, &count),
              3)
        << bmap;
    const uint32_t end = static_cast<uint32_t>(start + count), hide = 40;
    const xfs_test::AgTruth& ag = truth.ags[0];
    ASSERT_EQ(ag.byBlockLevels, 1u);
    ASSERT_EQ(ag.byCountLevels, 1u);
    ASSERT_FALSE(ag.freeExtents.empty());
    ASSERT_EQ(ag.freeExtents.back().first, end);
    const uint32_t length = ag.freeExtents.back().second;

    // The record is the last of both leaves: the highest block and the longest extent.
    const int bs = truth.blockSize, header = p.crc ? 56 : 16;
    const size_t records = ag.freeExtents.size();
    for (uint32_t root : {ag.byBlockRoot, ag.byCountRoot}) {
      const uint64_t at = static_cast<uint64_t>(root) * static_cast<uint64_t>(bs);
      std::vector<unsigned char> rec(8);
      putBE32(&rec, 0, end - hide);
      putBE32(&rec, 4, length + hide);
      patchFile(path, at + static_cast<uint64_t>(header) + 8 * (records - 1), rec);
      if (p.crc) resealXfs(path, at, static_cast<size_t>(bs), 52);
    }
    const uint64_t agf = static_cast<uint64_t>(truth.sectorSize);
    std::vector<unsigned char> counts = readAt(path, agf + 52, 8);
    putBE32(&counts, 0, getBE32(counts, 0) + hide);
    putBE32(&counts, 4, length + hide);
    patchFile(path, agf + 52, counts);
    if (p.crc) resealXfs(path, agf, static_cast<size_t>(truth.sectorSize), 216);

    ChunkBitmap plain, verified;
    FsParser::VerifyReport report;
    CVoError err = map(path, false, &plain, &report);
    ASSERT_GE(err.code, 0) << err.toString();
    for (uint32_t b = end - hide; b < end; ++b) EXPECT_FALSE(plain.test(b)) << b;
    err = map(path, true, &verified, &report);
    ASSERT_GE(err.code, 0) << err.toString();
    EXPECT_TRUE(sameChunks(verified, chunksFromBlocks(truth.used, 1), truth.blockCount));
    EXPECT_EQ(report.blocksFreeInMaps, hide);
    ASSERT_EQ(report.first.size(), 1u);
    EXPECT_EQ(report.first[0].block, end - hide);
    EXPECT_EQ(report.first[0].count, hide);
    EXPECT_EQ(report.first[0].inode, ino);

    // The tool says the same on standard error.
    std::string said;
    ASSERT_EQ(runTool("bitmap '" + path + "' -c 64K -f ranges --verify", &said, true), 0) << said;
    EXPECT_NE(
        said.find("verify: 40 blocks in use by files that the maps call free; first: blocks " +
                  std::to_string(end - hide) + "-" + std::to_string(end - 1) + " (inode " +
                  std::to_string(ino) + ")"),
        std::string::npos)
        << said;
  }
}

// A realtime file's extents count blocks of the realtime device: the scan neither marks nor
// reports them on the data device. `big`'s extent is moved to realtime blocks that, read as
// data-device blocks, lie in AG 1's free space; without the realtime flag the scan reports them.
TEST_F(XfsVerifyTest, RealtimeExtentsAreNotDataBlocks) {
  const std::string original = populated(kPopulated[3]);
  unsigned long long byte = 0;
  const unsigned long long ino = inodeOf(original, "big", &byte);
  const unsigned long long agBlocks = field(db(original, "-c 'sb 0' -c 'p agblocks'"), "agblocks");
  const unsigned long long count = field(
      db(original, "-c 'inode " + std::to_string(ino) + "' -c 'p core.nblocks'"), "core.nblocks");
  // AG 1's middle: with AGs of a power of two blocks, the AG-encoded block is the device's.
  ASSERT_EQ(agBlocks & (agBlocks - 1), 0u);
  const unsigned long long fsb = agBlocks + agBlocks / 2;
  for (int realtime : {1, 0}) {
    SCOPED_TRACE(realtime);
    const std::string path = original + ".rt" + std::to_string(realtime);
    copyFile(original, path);
    mustRun("xfs_db -x -c 'inode " + std::to_string(ino) + "' -c 'write core.realtime " +
            std::to_string(realtime) + "' -c 'write u3.bmx[0].startblock " + std::to_string(fsb) +
            "' '" + path + "'");
    ChunkBitmap plain, verified;
    FsParser::VerifyReport report;
    ASSERT_GE(map(path, false, &plain, &report).code, 0);
    ASSERT_FALSE(plain.test(static_cast<long long>(fsb)));
    ASSERT_GE(map(path, true, &verified, &report).code, 0);
    EXPECT_EQ(report.blocksFreeInMaps, realtime ? 0u : count);
    EXPECT_EQ(verified.test(static_cast<long long>(fsb)), realtime == 0);
  }
}

// Inodes that name blocks no file system has, or a block-map tree of absurd height, are refused
// with their number; no checksum needs to agree for the scan to read them.
TEST_F(XfsVerifyTest, HostileInodesAreRefused) {
  const std::string original = populated(kPopulated[0]);
  const unsigned long long agCount =
      field(db(original, "-c sb -c 'p agcount agblklog'"), "agcount");
  const unsigned long long agBlockLog = field(db(original, "-c sb -c 'p agblklog'"), "agblklog");
  struct Case {
    const char* what;
    const char* file;
    std::vector<unsigned char> bytes;  // from the inode's byte 5 (its data fork's format) on
    std::string message;
  };
  // An extent starting past the last AG: startoff 0, count 1.
  const unsigned long long past = (agCount + 5) << agBlockLog;
  std::vector<unsigned char> extent(16);
  putBE32(&extent, 0, 0);
  putBE32(&extent, 4, static_cast<uint32_t>(past >> 43));
  putBE32(&extent, 8, static_cast<uint32_t>(past >> 11));
  putBE32(&extent, 12, static_cast<uint32_t>(past << 21 | 1));
  std::vector<unsigned char> tall(176 - 5 + 4);
  tall[0] = 3;  // B-tree format
  tall[176 - 5 + 1] = 20;
  tall[176 - 5 + 3] = 1;
  std::vector<unsigned char> pastEnd(176 - 5, 0);
  pastEnd[0] = 2;  // extents
  pastEnd.insert(pastEnd.end(), extent.begin(), extent.end());
  const Case cases[] = {
      {"past the end", "small", pastEnd, "names extent 0x"},
      {"too tall", "big", tall, "roots a B-tree of 20 levels"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = original + "." + c.file + ".hostile";
    copyFile(original, path);
    unsigned long long byte = 0;
    const unsigned long long ino = inodeOf(path, c.file, &byte);
    // Keep the core as it is between byte 5 and the fork: only the format byte and the fork.
    std::vector<unsigned char> core = readAt(path, byte + 5, 176 - 5);
    std::vector<unsigned char> bytes = c.bytes;
    std::copy(core.begin() + 1, core.end(), bytes.begin() + 1);
    patchFile(path, byte + 5, bytes);
    ChunkBitmap got;
    FsParser::VerifyReport report;
    const CVoError err = map(path, true, &got, &report);
    ASSERT_LT(err.code, 0);
    EXPECT_EQ(err.errNo(), ENOSYS);
    const std::string root = err.rootMessage();
    EXPECT_NE(root.find("Inode " + std::to_string(ino) + " of "), std::string::npos) << root;
    EXPECT_NE(root.find(c.message), std::string::npos) << root;
    EXPECT_FALSE(report.ran);
    EXPECT_FALSE(got.bits);
  }
}

}  // namespace
