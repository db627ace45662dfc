// `fsbmp copy` on real images of every file system: the copy holds everything the file system
// uses (its own checker and its files agree), the check notices one missing used chunk, and GNU
// ddrescue following the tool's mapfile makes a full-size copy.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "common/testutil.h"
#include "e2e_images.h"

using namespace fsbmp_test;
using namespace e2e_test;

namespace {

std::string quote(const std::string& s) {
  return "'" + s + "'";
}

class CopyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { images(); }
};

TEST_F(CopyTest, CopyLosesNothingTheFileSystemUses) {
  std::string notes;
  int checked = 0;
  for (const FsImage& img : images()) {
    SCOPED_TRACE(img.name);
    if (!img.failure.empty()) {
      notes += img.name + " skipped: " + img.failure + ". ";
      continue;
    }
    const std::string copy = scratchPath(img.name + ".copy");
    std::string out;
    ASSERT_EQ(run(tool() + " copy " + quote(img.path) + " " + quote(copy) + " --chunk-size " +
                      std::to_string(img.chunkSize),
                  &out, true),
              0)
        << out;
    EXPECT_NE(out.find("written: "), std::string::npos) << out;
    EXPECT_EQ(out.find("\r"), std::string::npos) << "no progress bar off a terminal: " << out;
    EXPECT_EQ(findLoss(img, copy, &notes), "");

    // Nothing but used chunks was written: free space reads as zeros and takes no room.
    std::string ranges;
    ASSERT_EQ(run(tool() + " bitmap " + quote(img.path) + " --chunk-size " +
                      std::to_string(img.chunkSize) + " --format ranges",
                  &ranges),
              0);
    std::vector<unsigned char> data = readWhole(copy);
    long long usedBytes = 0, at = 0;
    size_t stray = 0;
    auto countStray = [&](long long from, long long to) {
      for (long long i = from; i < to; ++i) stray += data[static_cast<size_t>(i)] != 0;
    };
    forEachRangeLine(ranges, [&](long long offset, long long length) {
      usedBytes += length;
      countStray(at, offset);
      at = offset + length;
    });
    countStray(at, static_cast<long long>(data.size()));
    EXPECT_EQ(stray, 0u) << "bytes outside the used chunks";
    struct stat st;
    ASSERT_EQ(stat(copy.c_str(), &st), 0);
    EXPECT_LE(static_cast<long long>(st.st_blocks) * 512, usedBytes + 65536) << "not sparse";
    unlink(copy.c_str());
    ++checked;
  }
  if (!notes.empty()) std::cout << "[   NOTE   ] " << notes << "\n";
  EXPECT_GE(checked, 1);
}

TEST_F(CopyTest, CheckCatchesOneMissingUsedChunk) {
  std::string notes;
  for (const FsImage& img : images()) {
    SCOPED_TRACE(img.name);
    if (!img.failure.empty()) continue;
    ASSERT_GE(img.dataOffset, 0) << "no file data found in the image";
    const std::string bitmap = scratchPath(img.name + ".bmp");
    const std::string chunk = std::to_string(img.chunkSize);
    ASSERT_EQ(run(tool() + " bitmap " + quote(img.path) + " --chunk-size " + chunk + " --output " +
                  quote(bitmap)),
              0);
    std::vector<unsigned char> bits = readFile(bitmap);
    const long long c = img.dataOffset / img.chunkSize;
    ASSERT_TRUE((bits[static_cast<size_t>(c / 8)] >> (c % 8)) & 1)
        << "the chunk at byte " << img.dataOffset << " holds data but is not marked used";
    bits[static_cast<size_t>(c / 8)] &= static_cast<unsigned char>(~(1u << (c % 8)));
    writeFile(bitmap, bits);

    const std::string lossy = scratchPath(img.name + ".lossy");
    std::string out;
    ASSERT_EQ(run(tool() + " copy " + quote(img.path) + " " + quote(lossy) + " --chunk-size " +
                      chunk + " --bitmap " + quote(bitmap),
                  &out, true),
              0)
        << out;
    EXPECT_NE(findLoss(img, lossy, &notes), "") << "one used chunk missing went unnoticed";
    unlink(lossy.c_str());
  }
}

TEST_F(CopyTest, DdrescueWorkflowGivesAFullSizeCheckableImage) {
  FSBMP_REQUIRE_TOOL("ddrescue");
  // The README's two commands, nothing more. The mapfile is made from the same runs for every
  // file system; ext4 stands for all, its last chunks free, so that ddrescue's own domain would
  // stop short of the device's end.
  const FsImage* img = image("ext4");
  if (!img || !img->failure.empty()) GTEST_SKIP() << "no ext4 image here";
  const std::string map = scratchPath("ext4.map");
  const std::string chunk = std::to_string(img->chunkSize);
  ASSERT_EQ(run(tool() + " bitmap " + quote(img->path) + " --chunk-size " + chunk +
                " --format ddrescue --output " + quote(map)),
            0);
  std::string ranges;
  ASSERT_EQ(run(tool() + " bitmap " + quote(img->path) + " -c " + chunk + " -f ranges", &ranges),
            0);
  long long usedEnd = 0;
  forEachRangeLine(ranges, [&](long long offset, long long length) { usedEnd = offset + length; });
  ASSERT_LT(usedEnd, img->devSize) << "the image must end in free space for this to show much";

  const std::string rescued = scratchPath("ext4.rescued");
  const std::string copy = scratchPath("ext4.copy2");
  std::string out;
  ASSERT_EQ(run("ddrescue -q --domain-mapfile=" + quote(map) + " " + quote(img->path) + " " +
                    quote(rescued) + " " + quote(rescued + ".log"),
                &out, true),
            0)
      << out;
  std::string notes;
  EXPECT_EQ(findLoss(*img, rescued, &notes), "") << "size, used blocks, e2fsck, files";
  // The same bytes as fsbmp's own copy, but for the last sector that ddrescue copied too.
  ASSERT_EQ(run(tool() + " copy " + quote(img->path) + " " + quote(copy) + " -c " + chunk + " -q",
                &out, true),
            0)
      << out;
  EXPECT_EQ(
      run("cmp -n " + std::to_string(img->devSize - 512) + " " + quote(rescued) + " " + quote(copy),
          &out, true),
      0)
      << out;
}

TEST_F(CopyTest, DirectCopyMatchesTheBufferedOne) {
  // ext2's 1 KiB chunks give runs that start and end inside 4 KiB blocks; the device gets a
  // used tail of 1.5 KiB, not a whole block. A random raw bitmap with a few long runs marks
  // what is copied.
  const FsImage* img = image("ext2");
  if (!img || !img->failure.empty()) GTEST_SKIP() << "no ext2 image here";
  const std::string device = scratchPath("ext2-tail.img");
  copyFile(img->path, device);
  const long long devSize = img->devSize + 1536;
  mustRun("truncate -s " + std::to_string(devSize) + " " + quote(device));
  const long long chunk = 1024, nChunks = (devSize + chunk - 1) / chunk;
  std::vector<unsigned char> bits(static_cast<size_t>((nChunks + 7) / 8));
  unsigned seed = 7;
  for (size_t i = 0; i < bits.size(); ++i) {
    seed = seed * 1103515245u + 12345u;
    bits[i] = i % 97 < 20 ? 0xFF : static_cast<unsigned char>(seed >> 16);
  }
  bits.back() = 0xFF;
  const std::string bitmap = scratchPath("ext2-tail.bmp");
  writeFile(bitmap, bits);

  std::string out;
  const std::string buffered = scratchPath("ext2-tail.copy"), direct = buffered + ".direct";
  for (const std::string& flags : {std::string(""), std::string(" --direct")}) {
    const std::string& to = flags.empty() ? buffered : direct;
    const int status = run(tool() + " copy " + quote(device) + " " + quote(to) +
                               " -c 1K -q --bitmap " + quote(bitmap) + flags,
                           &out, true);
    if (status == 1 && out.find("does not support O_DIRECT") != std::string::npos)
      GTEST_SKIP() << "the scratch directory's file system takes no direct I/O: " << out;
    ASSERT_EQ(status, 0) << flags << ": " << out;
  }
  EXPECT_EQ(run("cmp " + quote(buffered) + " " + quote(direct), &out, true), 0) << out;

  const std::vector<unsigned char> source = readWhole(device), copy = readWhole(direct);
  ASSERT_EQ(copy.size(), source.size());
  long long bad = 0;
  for (long long c = 0; c < nChunks; ++c) {
    const size_t from = static_cast<size_t>(c * chunk);
    const size_t n = std::min(static_cast<size_t>(chunk), copy.size() - from);
    const bool used = (bits[static_cast<size_t>(c / 8)] >> (c % 8)) & 1;
    const std::vector<unsigned char> zeros(n, 0);
    bad += memcmp(&copy[from], used ? &source[from] : zeros.data(), n) != 0;
  }
  EXPECT_EQ(bad, 0) << "chunks that differ from the device (used) or are not zero (free)";
}

TEST_F(CopyTest, BlockDeviceTargetGetsOnlyTheUsedChunks) {
  const FsImage* img = image("ext3");
  if (!img || !img->failure.empty()) GTEST_SKIP() << "no ext3 image here";
  // The target device starts out all 0xAA; afterwards free chunks must still say so.
  const std::string backing = scratchPath("target-dev.img");
  mustRun("head -c " + std::to_string(img->devSize) + " /dev/zero | tr '\\0' '\\252' > " +
          quote(backing));
  LoopDevice loop(backing);
  if (loop.device.empty()) GTEST_SKIP() << "loop devices need root and a free /dev/loop*";

  const std::string chunk = std::to_string(img->chunkSize);
  std::string out, ranges;
  ASSERT_EQ(run(tool() + " copy " + quote(img->path) + " " + quote(loop.device) + " --chunk-size " +
                    chunk + " --quiet",
                &out, true),
            0)
      << out;
  ASSERT_EQ(
      run(tool() + " bitmap " + quote(img->path) + " --chunk-size " + chunk + " --format ranges",
          &ranges),
      0);
  std::vector<unsigned char> source = readWhole(img->path), written = readWhole(backing);
  ASSERT_EQ(written.size(), source.size());
  long long at = 0, badUsed = 0, badFree = 0;
  auto checkFree = [&](long long from, long long to) {
    for (long long i = from; i < to; ++i) badFree += written[static_cast<size_t>(i)] != 0xAA;
  };
  forEachRangeLine(ranges, [&](long long offset, long long length) {
    checkFree(at, offset);
    badUsed += memcmp(&source[static_cast<size_t>(offset)], &written[static_cast<size_t>(offset)],
                      static_cast<size_t>(length)) != 0;
    at = offset + length;
  });
  checkFree(at, static_cast<long long>(written.size()));
  EXPECT_EQ(badUsed, 0) << "used runs that differ from the device";
  EXPECT_EQ(badFree, 0) << "bytes written outside the used chunks";

  // A block device smaller than the source is refused before anything is written.
  const std::string small = scratchPath("small-dev.img");
  mustRun("truncate -s 4M " + quote(small));
  LoopDevice smallLoop(small);
  ASSERT_FALSE(smallLoop.device.empty());
  EXPECT_EQ(run(tool() + " copy " + quote(img->path) + " " + quote(smallLoop.device) +
                    " --chunk-size " + chunk,
                &out, true),
            1);
  EXPECT_NE(out.find("less than the " + std::to_string(img->devSize) + " bytes"), std::string::npos)
      << out;
  EXPECT_EQ(readWhole(small), std::vector<unsigned char>(4 << 20, 0));
}

}  // namespace
