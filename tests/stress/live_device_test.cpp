// A mounted file system changing underneath the parser: a writer keeps creating and deleting
// files on a loop-mounted ext4 or XFS image while the loop device is probed and mapped again and
// again. Every call either succeeds or refuses with an error that says what is wrong; none may
// crash, hang or leave a descriptor open.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "common/testutil.h"

using namespace fsbmp_test;

namespace {

// A loop device with the image mounted on it, and the writer's process group: stopped,
// unmounted and detached on every way out of the test.
class LiveMount {
 public:
  ~LiveMount() {
    stopWriter();
    if (mounted_) {
      // A writer just killed may still hold the mount for a moment.
      for (int i = 0; i < 50 && run("umount '" + dir_ + "'", nullptr, true) != 0; ++i)
        usleep(100000);
    }
    if (!device_.empty()) run("losetup -d '" + device_ + "'", nullptr, true);
  }

  // Attaches and mounts; returns why it could not, or "".
  std::string start(const std::string& image, const std::string& type) {
    if (geteuid() != 0) return "loop devices and mounts need root";
    if (!haveCommand("losetup") || !haveCommand("mount")) return "losetup or mount is missing";
    std::string out;
    if (run("losetup -f --show '" + image + "'", &out, true) != 0)
      return "no loop device available: " + out;
    device_ = out.substr(0, out.find_first_of("\r\n"));
    dir_ = image + ".mnt";
    mkdir(dir_.c_str(), 0700);
    if (run("mount -t " + type + " '" + device_ + "' '" + dir_ + "'", &out, true) != 0)
      return "couldn't mount " + type + " through a loop device: " + out;
    mounted_ = true;
    return "";
  }

  // Creates, grows and deletes files in the mount until stopped, in a process group of its own.
  void startWriter() {
    writer_ = fork();
    if (writer_ == 0) {
      setpgid(0, 0);
      execl("/bin/sh", "sh", "-c",
            "cd \"$0\" || exit 1; i=0; while :; do "
            "head -c $(( (i % 17 + 1) * 37000 )) /dev/zero > f$((i % 40)) 2>/dev/null; "
            "[ $((i % 3)) -eq 0 ] && rm -f f$(((i * 7) % 40)); "
            "[ $((i % 25)) -eq 0 ] && sync -f .; i=$((i + 1)); done",
            dir_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    if (writer_ > 0) setpgid(writer_, writer_);
  }

  void stopWriter() {
    if (writer_ <= 0) return;
    kill(-writer_, SIGKILL);
    kill(writer_, SIGKILL);
    waitpid(writer_, nullptr, 0);
    writer_ = -1;
  }

  const std::string& device() const { return device_; }

 private:
  std::string device_;
  std::string dir_;
  bool mounted_ = false;
  pid_t writer_ = -1;
};

// An error a person can act on: it has a text, and the probe's names the device.
::testing::AssertionResult clearError(const CVoError& err, const std::string& device) {
  if (err.code >= 0) return ::testing::AssertionFailure() << "no error code";
  const std::string text = err.toString();
  if (err.message().empty() || text.empty())
    return ::testing::AssertionFailure() << "an error without a message";
  if (text.find(device) == std::string::npos)
    return ::testing::AssertionFailure() << "the error doesn't name " << device << ": " << text;
  return ::testing::AssertionSuccess();
}

void probeWhileWriting(const std::string& type, const std::string& mkfs) {
  const std::string image = scratchPath("live." + type);
  mustRun("truncate -s 64M '" + image + "' && " + mkfs + " '" + image + "'");
  LiveMount m;
  const std::string why = m.start(image, type);
  if (!why.empty()) GTEST_SKIP() << why;
  m.startWriter();

  // Three seconds of rounds, and more, up to half a minute, until one maps: under these writes
  // most of ext4's rounds find its journal changing as they read it, and refuse.
  const int fdsBefore = countOpenFds();
  int rounds = 0, successes = 0;
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::seconds(3), limit = start + std::chrono::seconds(30);
  for (auto now = start; now < end || (successes == 0 && now < limit);
       now = std::chrono::steady_clock::now()) {
    ++rounds;
    CVoError err;
    std::unique_ptr<FsParser> p(FsParser::init(m.device(), &err));
    if (!p) {
      EXPECT_TRUE(clearError(err, m.device())) << "probe of round " << rounds;
      continue;
    }
    for (int chunkSize : {4096, 1 << 20}) {
      ChunkBitmap bmp;
      err = getBitmap(p.get(), chunkSize, &bmp);
      if (err.code < 0) {
        // The chunk sizes are valid and the device keeps its size: only metadata changing under
        // the walk may stop it, and that is refused as damaged.
        EXPECT_EQ(err.errNo(), ENOSYS) << "walk of round " << rounds << ": " << err.toString();
        continue;
      }
      ++successes;
      EXPECT_GE(bmp.nChunks * chunkSize, p->devSize) << "round " << rounds;
      EXPECT_TRUE(bmp.test(0)) << "the superblock's chunk is used, round " << rounds;
    }
  }
  m.stopWriter();
  EXPECT_EQ(fdsBefore, countOpenFds());
  EXPECT_GT(successes, 0) << "all " << rounds << " rounds refused";
  ::testing::Test::RecordProperty("rounds", rounds);
  ::testing::Test::RecordProperty("successes", successes);
}

TEST(LiveDevice, Ext4UnderWrites) {
  FSBMP_REQUIRE_TOOL("mkfs.ext4");
  probeWhileWriting("ext4", "mkfs.ext4 -q -F -b 4096");
}

TEST(LiveDevice, XfsUnderWrites) {
  FSBMP_REQUIRE_TOOL("mkfs.xfs");
  probeWhileWriting("xfs", "TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 mkfs.xfs -f -q");
}

}  // namespace
