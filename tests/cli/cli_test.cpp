// The fsbmp command-line tool, run as a user runs it.
#include <cstdlib>
#include <memory>

#include "common/testutil.h"
#include "fsbmp/fsbmp.h"

using namespace fsbmp_test;

namespace {

std::string cli() {
  const char* tool = getenv("FSBMP_CLI");
  const char* emulator = getenv("FSBMP_EMULATOR");
  std::string cmd = emulator && *emulator ? std::string(emulator) + " " : std::string();
  return cmd + (tool ? tool : "fsbmp");
}

class CliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!haveCommand("mkreiserfs")) return;
    image = scratchPath("cli.img");
    mustRun("truncate -s 80M '" + image + "' && mkreiserfs -f -q '" + image + "' 16384");
  }
  void SetUp() override {
    FSBMP_REQUIRE_TOOL("mkreiserfs");
    ASSERT_NE(getenv("FSBMP_CLI"), nullptr) << "FSBMP_CLI names the tool under test";
  }
  static std::string image;
};
std::string CliTest::image;

TEST_F(CliTest, InfoShowsTypeAndGeometry) {
  std::string out;
  ASSERT_EQ(run(cli() + " info '" + image + "'", &out), 0) << out;
  EXPECT_NE(out.find("ReiserFS"), std::string::npos) << out;
  EXPECT_NE(out.find("block size:  4096"), std::string::npos) << out;
  EXPECT_NE(out.find("blocks:      16384"), std::string::npos) << out;
  EXPECT_NE(out.find("device size: 83886080"), std::string::npos) << out;
}

TEST_F(CliTest, BitmapFileIsExactlyTheLibrarysBitmap) {
  const std::string outFile = scratchPath("cli.bmp");
  std::string out;
  ASSERT_EQ(
      run(cli() + " bitmap '" + image + "' --chunk-size 64K --output '" + outFile + "'", &out), 0)
      << out;
  std::vector<unsigned char> written = readFile(outFile);

  CVoError err;
  std::unique_ptr<FsParser> p(FsParser::init(image, &err));
  ASSERT_NE(p, nullptr);
  ChunkBitmap bm;
  ASSERT_GE(getBitmap(p.get(), 65536, &bm).code, 0);
  ASSERT_EQ(written.size(), static_cast<size_t>((bm.nChunks + 7) / 8));
  EXPECT_TRUE(std::equal(written.begin(), written.end(), bm.bits.get()));
  long long used = 0;
  for (long long c = 0; c < bm.nChunks; ++c) used += bm.test(c);
  EXPECT_NE(out.find("chunks:      " + std::to_string(bm.nChunks)), std::string::npos) << out;
  EXPECT_NE(out.find("used chunks: " + std::to_string(used)), std::string::npos) << out;

  // The same size spelled in bytes and as 1M agree with the library too.
  ASSERT_EQ(run(cli() + " bitmap '" + image + "' --chunk-size=1M --output=" + outFile, &out), 0);
  EXPECT_EQ(readFile(outFile).size(), static_cast<size_t>((80 + 7) / 8));
}

TEST_F(CliTest, FailuresExitNonZeroWithTheErrorStack) {
  std::string out;
  const std::string missing = scratchPath("no-such-device");
  EXPECT_EQ(run(cli() + " info '" + missing + "'", &out, true), 1);
  EXPECT_NE(out.find("couldn't open " + missing + " for reading"), std::string::npos) << out;
  EXPECT_NE(out.find("No such file or directory"), std::string::npos) << out;

  EXPECT_EQ(run(cli() + " bitmap '" + image + "' --chunk-size 6K --output " + scratchPath("x"),
                &out, true),
            1);
  EXPECT_NE(out.find("Chunk size (6144) must be a power of 2"), std::string::npos) << out;

  const std::string unwritable = scratchPath("no-dir/out.bmp");
  EXPECT_EQ(
      run(cli() + " bitmap '" + image + "' --chunk-size 4K --output " + unwritable, &out, true), 1);
  EXPECT_NE(out.find("couldn't create"), std::string::npos) << out;
}

TEST_F(CliTest, UsageErrorsExitTwoWithUsage) {
  std::string out;
  for (const std::string& args :
       {std::string(""), std::string("frobnicate x"), "bitmap '" + image + "' --output x",
        "bitmap '" + image + "' --chunk-size 12Q --output x", std::string("info"),
        std::string("--bogus info x")}) {
    EXPECT_EQ(run(cli() + " " + args, &out, true), 2) << args;
    EXPECT_NE(out.find("usage: fsbmp"), std::string::npos) << args << ": " << out;
  }
  EXPECT_EQ(run(cli() + " --help", &out), 0);
  EXPECT_NE(out.find("bitmap DEVICE"), std::string::npos);
  EXPECT_EQ(run(cli() + " --version", &out), 0);
  EXPECT_EQ(out.rfind("fsbmp ", 0), 0u) << out;
}

TEST_F(CliTest, DebugSendsTheLogToStandardError) {
  std::string out;
  ASSERT_EQ(run(cli() + " --debug info '" + image + "' 2>&1 >/dev/null", &out), 0);
  EXPECT_NE(out.find("[FsParserReiserFS::init] Detected ReiserFS on " + image), std::string::npos)
      << out;
  ASSERT_EQ(run(cli() + " info '" + image + "' 2>&1 >/dev/null", &out), 0);
  EXPECT_EQ(out, "") << "silent without --debug";
}

}  // namespace
