// Parsers of all four file systems at once on several threads: every result must equal the one
// the same image gave on a single thread, and no descriptor may be left open. Copies of one error
// value pushed onto on several threads at once.
#include <sys/wait.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/oracle.h"
#include "vximage.h"

using namespace fsbmp_test;

namespace {

const int kChunkSizes[2] = {4096, 65536};

struct Result {
  std::string error;  // empty on success
  long long nChunks = 0;
  std::vector<unsigned char> bits;
  bool operator==(const Result& o) const {
    return error == o.error && nChunks == o.nChunks && bits == o.bits;
  }
};

Result parse(const std::string& path, int chunkSize) {
  Result r;
  CVoError err;
  std::unique_ptr<FsParser> p(FsParser::init(path, &err));
  if (!p) {
    r.error = "probe: " + err.message();
    return r;
  }
  ChunkBitmap bmp;
  err = getBitmap(p.get(), chunkSize, &bmp);
  if (err.code < 0) {
    r.error = "walk: " + err.message();
    return r;
  }
  r.nChunks = bmp.nChunks;
  r.bits.assign(bmp.bits.get(), bmp.bits.get() + (bmp.nChunks + 7) / 8);
  return r;
}

// Fewer rounds where each one is slow: under an emulator or the sanitizers.
int rounds() {
  const char* emulator = getenv("FSBMP_EMULATOR");
  if (emulator && *emulator) return 4;
#if defined(__SANITIZE_ADDRESS__)
  return 8;
#else
  return 24;
#endif
}

void reapChildren() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

class Concurrency : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    images_ = new std::vector<std::string>;
    if (!haveCommand("mkfs.ext4") || !haveCommand("mkfs.xfs") || !haveCommand("mkreiserfs")) return;
    for (const char* name : {"ext4_1k", "xfs_v5", "reiserfs_in_big_file"}) {
      const OracleImage& im = oracleImage(name);
      EXPECT_EQ(im.failure, "");
      images_->push_back(im.path);
    }
    const std::string vxfs = scratchPath("c.vxfs");
    vximage::Description d;
    d.blockCount = 16384;
    d.auBlocks = 8192;
    d.printAuBlocks = true;
    d.used.assign(static_cast<size_t>(d.blockCount), false);
    for (long long b = 3000; b < 3100; ++b) d.used[b] = true;
    d.used[12000] = true;
    vximage::Layout layout;
    std::string error;
    EXPECT_TRUE(vximage::build(vxfs, d, &layout, &error)) << error;
    images_->push_back(vxfs);
  }
  static void TearDownTestSuite() {
    delete images_;
    images_ = nullptr;
  }

  static std::vector<std::string>* images_;
};

std::vector<std::string>* Concurrency::images_ = nullptr;

TEST_F(Concurrency, ThreadsAgreeWithOneThreadAndLeaveNoDescriptors) {
  if (images_->empty()) GTEST_SKIP() << "mkfs.ext4, mkfs.xfs or mkreiserfs is missing";
  const char* tools = getenv("FSBMP_VXFS_TOOLS");
  const std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", ((tools && *tools ? tools : FSBMP_VXFS_TOOLS_DIR) + (":" + oldPath)).c_str(), 1);

  const int fdsBefore = countOpenFds();
  std::map<std::pair<size_t, int>, Result> single;
  for (size_t i = 0; i < images_->size(); ++i) {
    for (int chunkSize : kChunkSizes) {
      Result r = parse((*images_)[i], chunkSize);
      EXPECT_EQ("", r.error) << (*images_)[i] << " at " << chunkSize;
      single[{i, chunkSize}] = r;
    }
  }

  // Each thread goes round every image and chunk size, from its own starting point, so that at
  // any moment different file systems are being read.
  const int kThreads = 4;
  const int n = rounds();
  std::mutex mu;
  std::vector<std::string> failures;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < n; ++r) {
        const size_t image = static_cast<size_t>(t + r) % images_->size();
        const int chunkSize = kChunkSizes[(t + r / 4) % 2];
        const Result got = parse((*images_)[image], chunkSize);
        if (!(got == single.at({image, chunkSize}))) {
          std::lock_guard<std::mutex> lock(mu);
          failures.push_back((*images_)[image] + " at " + std::to_string(chunkSize) +
                             " on thread " + std::to_string(t) + " differs: " + got.error);
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  setenv("PATH", oldPath.c_str(), 1);
  reapChildren();

  EXPECT_TRUE(failures.empty()) << failures.size() << " differences, first: " << failures[0];
  EXPECT_EQ(fdsBefore, countOpenFds());
}

// Copies of one error, each pushed onto by a thread of its own at the same time: every copy ends
// with its own frames over the shared one. In odd rounds no other holder remains, so the last
// thread to push finds its copy the only one left.
TEST(ErrorCopiesOnThreads, PushesStayWithTheirCopy) {
  const size_t kThreads = 4;
  for (int round = 0; round < 200; ++round) {
    CVoError original = JxErrorUtil::ErrorErrNo(JX_LOCATION("stress"), EIO, "shared");
    std::vector<CVoError> copies(kThreads, original);
    if (round % 2) original = CVoError();
    std::vector<std::string> got(kThreads);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int k = 0; k < 3; ++k) copies[t].Push(JX_LOCATION("stress"), "t%zu k%d", t, k);
        for (size_t i = 0; i < copies[t].depth(); ++i) got[t] += copies[t].frameMessage(i) + "|";
      });
    }
    for (std::thread& th : threads) th.join();
    for (size_t t = 0; t < kThreads; ++t) {
      const std::string n = "t" + std::to_string(t);
      ASSERT_EQ(got[t], n + " k2|" + n + " k1|" + n + " k0|shared|") << "round " << round;
      ASSERT_EQ(copies[t].errNo(), EIO);
    }
    if (round % 2 == 0) {
      ASSERT_EQ(original.depth(), 1u) << "round " << round;
    }
  }
}

}  // namespace
