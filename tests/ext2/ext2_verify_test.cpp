// The file scan behind setVerify, on edited copies of real images: block bitmaps that call a
// live file's blocks free while their free counts and checksums agree are caught only by the
// scan; hostile inodes are refused.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
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

class Ext2VerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FSBMP_REQUIRE_TOOL("mkfs.ext4");
    FSBMP_REQUIRE_TOOL("dumpe2fs");
    FSBMP_REQUIRE_TOOL("debugfs");
  }

  // A copy of a layout's image, named after what is done to it.
  static std::string copyOf(const Ext2Image& im, const std::string& what) {
    const std::string path = scratchPath(im.name + "-" + what + ".img");
    copyFile(im.path, path);
    return path;
  }
  static std::string debugfs(const std::string& path, const std::string& request) {
    return mustRun("debugfs -R '" + request + "' '" + path + "' 2>/dev/null");
  }
  // The blocks of a file as debugfs lists them, indirect and index blocks included.
  static std::vector<long long> blocksOf(const std::string& path, const std::string& file) {
    std::istringstream in(debugfs(path, "blocks " + file));
    std::vector<long long> out;
    for (long long b; in >> b;) out.push_back(b);
    return out;
  }
  // Where debugfs says a file's inode lies: its number and its byte in the image.
  static void inodeOf(const std::string& path, const std::string& file, const Ext2Image& im,
                      long long* ino, long long* at) {
    long long group = 0, block = 0;
    unsigned offset = 0;
    const std::string map = debugfs(path, "imap " + file);
    ASSERT_EQ(sscanf(map.c_str(),
                     "Inode %lld is part of block group %lld\n\tlocated at block %lld, "
                     "offset 0x%x",
                     ino, &group, &block, &offset),
              4)
        << map;
    *at = block * im.blockSize + offset;
  }

  // Maps the image with or without the scan, one block per chunk.
  static CVoError map(const std::string& path, bool verify, ChunkBitmap* got,
                      FsParser::VerifyReport* report) {
    CVoError err;
    FsParserExt2 p(path, &err);
    if (err.code < 0) return err;
    if (verify) err = p.setVerify(true);
    if (err.code >= 0) err = getBitmap(&p, p.blockSize, got);
    *report = p.verifyReport();
    return err;
  }
};

// A run of a live file's blocks (whole clusters under bigalloc) is cleared from its group's
// bitmap, the free count raised to match and every checksum recomputed: only the scan tells.
TEST_F(Ext2VerifyTest, BlocksTheMapsCallFreeAreFoundAndReported) {
  for (const char* layout : {"ext2_1k", "ext4_4k", "ext4_1k", "ext4_bigalloc"}) {
    SCOPED_TRACE(layout);
    const Ext2Image& im = ext2Image(layout);
    ASSERT_TRUE(im.failure.empty()) << im.failure;
    const std::string path = copyOf(im, "hidden");
    const std::vector<long long> blocks = blocksOf(path, "/big");
    long long ino = 0, inodeAt = 0;
    inodeOf(path, "/big", im, &ino, &inodeAt);
    // Two clusters of the file from the middle on, each wholly the file's.
    const long long cluster = im.clusterBlocks, hide = 2 * cluster;
    size_t i = blocks.size() / 2;
    while (i + hide <= blocks.size() &&
           (blocks[i] % cluster != 0 || blocks[i + hide - 1] != blocks[i] + hide - 1))
      ++i;
    ASSERT_LE(i + hide, blocks.size());
    const long long first = blocks[i];
    const size_t g = static_cast<size_t>((first - im.firstBlock) / im.blocksPerGroup);
    ASSERT_FALSE(im.groups[g].blockUninit);

    const long long bitmapAt = im.groups[g].blockBitmap * im.blockSize;
    std::vector<unsigned char> bits =
        readAt(path, static_cast<uint64_t>(bitmapAt), static_cast<size_t>(im.blockSize));
    for (long long b = first; b < first + hide; b += cluster) {
      const long long j = (b - im.groups[g].first) / cluster;
      ASSERT_TRUE(bits[static_cast<size_t>(j >> 3)] >> (j & 7) & 1);
      bits[static_cast<size_t>(j >> 3)] &= static_cast<unsigned char>(~(1u << (j & 7)));
    }
    patchFile(path, static_cast<uint64_t>(bitmapAt), bits);
    const long long desc =
        (im.firstBlock + 1) * im.blockSize + im.descSize * static_cast<long long>(g);
    std::vector<unsigned char> count(2);
    putLE16(&count, 0, static_cast<uint16_t>(im.groups[g].freeCount + 2));
    patchFile(path, static_cast<uint64_t>(desc) + 12, count);
    ext2_test::resealBlockBitmap(path, desc, bitmapAt,
                                 static_cast<size_t>(im.blocksPerGroup / cluster / 8));
    ext2_test::resealDescriptor(path, desc, static_cast<uint32_t>(g));

    ChunkBitmap plain, verified;
    FsParser::VerifyReport report;
    CVoError err = map(path, false, &plain, &report);
    ASSERT_GE(err.code, 0) << err.toString();
    EXPECT_FALSE(report.ran);
    for (long long b = first; b < first + hide; ++b) EXPECT_FALSE(plain.test(b)) << b;

    // The bitmaps compared as the walk reads them, and by the scan itself when it may hold only
    // one run at a time.
    for (uint32_t held : {0u, 1u}) {
      fsbmp::ext2::WalkTuning tuning;
      tuning.heldRuns = held;
      fsbmp::ext2::ScopedWalkTuning scoped(tuning);
      err = map(path, true, &verified, &report);
      ASSERT_GE(err.code, 0) << err.toString();
      EXPECT_TRUE(sameChunks(verified, chunksFromBlocks(im.used, 1), im.blockCount));
      EXPECT_TRUE(report.ran);
      EXPECT_EQ(report.blocksFreeInMaps, static_cast<uint64_t>(hide));
      ASSERT_EQ(report.first.size(), 1u);
      EXPECT_EQ(report.first[0].block, static_cast<uint64_t>(first));
      EXPECT_EQ(report.first[0].count, static_cast<uint64_t>(hide));
      EXPECT_EQ(report.first[0].inode, static_cast<uint64_t>(ino));
    }

    // The tool says the same on standard error.
    const char* cli = getenv("FSBMP_CLI");
    if (!cli || !*cli) continue;
    const char* emulator = getenv("FSBMP_EMULATOR");
    std::string said;
    ASSERT_EQ(run(std::string(emulator ? emulator : "") + " '" + cli + "' bitmap '" + path +
                      "' -c 64K -f ranges --verify",
                  &said, true),
              0)
        << said;
    const std::string line = "fsbmp: verify: " + std::to_string(hide) +
                             " blocks in use by files that the maps call free; first: blocks " +
                             std::to_string(first) + "-" + std::to_string(first + hide - 1) +
                             " (inode " + std::to_string(ino) + ")\n";
    EXPECT_NE(said.find(line), std::string::npos) << said;
    // And bitmap's JSON carries the same account.
    ASSERT_EQ(run(std::string(emulator ? emulator : "") + " '" + cli + "' bitmap '" + path +
                      "' -c 64K -f json --verify",
                  &said),
              0)
        << said;
    EXPECT_NE(said.find("\"blocks_free_in_maps\": " + std::to_string(hide)), std::string::npos)
        << said;
  }
}

// Inodes that would make the scan read forever or mark blocks that don't exist are refused,
// naming the inode; without the scan the same images map as before.
TEST_F(Ext2VerifyTest, HostileInodesAreRefused) {
  enum Edit { kDeepTree, kExtentPastTheEnd, kIndirectLoop, kAclPastTheEnd };
  struct Case {
    const char* layout;
    Edit edit;
    const char* says;  // part of the refusal
  };
  const Case cases[] = {
      {"ext4_4k", kDeepTree, "has an extent tree of depth 6, above 5"},
      {"ext4_4k", kExtentPastTheEnd, "names extent at block"},
      {"ext2_1k", kIndirectLoop, "names itself or a block above it"},
      {"ext2_1k", kAclPastTheEnd, "names extended-attribute block"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    const Ext2Image& im = ext2Image(c.layout);
    ASSERT_TRUE(im.failure.empty()) << im.failure;
    const std::string path = copyOf(im, "hostile-" + std::to_string(c.edit));
    long long ino = 0, at = 0;
    inodeOf(path, "/big", im, &ino, &at);
    std::vector<unsigned char> v(4);
    switch (c.edit) {
      case kDeepTree:  // eh_depth of the root in i_block
        putLE16(&v, 0, 6);
        patchFile(path, static_cast<uint64_t>(at + 0x28 + 6), {v[0], v[1]});
        break;
      case kExtentPastTheEnd:  // the first leaf entry's start
        putLE32(&v, 0, static_cast<uint32_t>(im.blockCount));
        patchFile(path, static_cast<uint64_t>(at + 0x28 + 12 + 8), v);
        break;
      case kIndirectLoop: {  // the single indirect block's first slot names the block itself
        const uint32_t ind = getLE32(readAt(path, static_cast<uint64_t>(at + 0x28 + 48), 4), 0);
        putLE32(&v, 0, ind);
        patchFile(path, static_cast<uint64_t>(ind) * static_cast<uint64_t>(im.blockSize), v);
        break;
      }
      case kAclPastTheEnd:
        putLE32(&v, 0, static_cast<uint32_t>(im.blockCount + 5));
        patchFile(path, static_cast<uint64_t>(at + 0x68), v);
        break;
    }
    ChunkBitmap got;
    FsParser::VerifyReport report;
    CVoError err = map(path, false, &got, &report);
    EXPECT_GE(err.code, 0) << err.toString();
    ChunkBitmap refused;
    err = map(path, true, &refused, &report);
    ASSERT_LT(err.code, 0);
    EXPECT_EQ(err.errNo(), ENOSYS);
    EXPECT_NE(err.toString().find("Inode " + std::to_string(ino) + " of " + path),
              std::string::npos)
        << err.toString();
    EXPECT_NE(err.toString().find(c.says), std::string::npos) << err.toString();
    EXPECT_FALSE(report.ran);
    EXPECT_EQ(refused.bits.get(), nullptr);
  }
}

}  // namespace
