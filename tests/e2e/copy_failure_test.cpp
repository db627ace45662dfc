// `fsbmp copy` when it cannot finish: a missing directory, a full disk, a device shorter than
// its file system, a missing device. Each exits non-zero with a message and leaves nothing that
// looks like a finished copy.
#include <dirent.h>
#include <unistd.h>

#include "common/testutil.h"
#include "e2e_images.h"

using namespace fsbmp_test;
using namespace e2e_test;

namespace {

std::string quote(const std::string& s) {
  return "'" + s + "'";
}

// Names in a directory other than "." and "..".
std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  return names;
}

// A small tmpfs, unmounted on every way out.
struct SmallTmpfs {
  std::string dir;
  bool mounted = false;
  explicit SmallTmpfs(const std::string& path) : dir(path) {
    mustRun("mkdir -p " + quote(dir));
    mounted = geteuid() == 0 && run("mount -t tmpfs -o size=2m fsbmp-full " + quote(dir)) == 0;
  }
  ~SmallTmpfs() {
    if (mounted) run("umount " + quote(dir));
    rmdir(dir.c_str());
  }
};

class CopyFailureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { images(); }
  void SetUp() override {
    img = image("ext4");
    if (!img || !img->failure.empty()) GTEST_SKIP() << "no ext4 image here";
  }
  int copy(const std::string& source, const std::string& target, std::string* out,
           const std::string& flags = "") {
    return run(
        tool() + " copy " + quote(source) + " " + quote(target) + " --chunk-size 64K" + flags, out,
        true);
  }
  const FsImage* img = nullptr;
};

TEST_F(CopyFailureTest, TargetInAMissingDirectory) {
  const std::string target = scratchPath("no-such-dir/copy.img");
  std::string out;
  EXPECT_EQ(copy(img->path, target, &out), 1);
  EXPECT_NE(out.find("couldn't create a temporary file in " + scratchPath("no-such-dir")),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("No such file or directory"), std::string::npos) << out;
  EXPECT_NE(access(target.c_str(), F_OK), 0);
}

TEST_F(CopyFailureTest, FullDiskStopsTheCopyAndRemovesTheTemporaryFile) {
  SmallTmpfs full(scratchPath("full"));
  if (!full.mounted) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const std::string target = full.dir + "/copy.img";
  // The write fails while the reader is ahead of it: both stop, and the error is the writer's.
  for (const std::string& flags : {std::string(""), std::string(" --direct")}) {
    SCOPED_TRACE("copy" + flags);
    std::string out;
    EXPECT_EQ(copy(img->path, target, &out, flags), 1);
    if (out.find("does not support O_DIRECT") != std::string::npos) {
      std::cout << "[   NOTE   ] tmpfs here takes no direct I/O: " << out;
    } else {
      EXPECT_NE(out.find("couldn't write"), std::string::npos) << out;
      EXPECT_NE(out.find("No space left on device"), std::string::npos) << out;
    }
    EXPECT_NE(out.find(target + " was not written"), std::string::npos) << out;
    EXPECT_EQ(listDir(full.dir), std::vector<std::string>()) << "leftovers on the full disk";
  }
}

TEST_F(CopyFailureTest, FailedCopyLeavesAnExistingTargetAsItWas) {
  // A device shorter than its file system, cut inside its last used block: the used space past
  // its end cannot be read.
  long long lastUsed = static_cast<long long>(img->used.size()) - 1;
  while (lastUsed > 0 && !img->used[static_cast<size_t>(lastUsed)]) --lastUsed;
  const std::string shortDevice = scratchPath("short.img");
  copyFile(img->path, shortDevice);
  mustRun("truncate -s " + std::to_string(lastUsed * img->blockSize + 512) + " " +
          quote(shortDevice));
  const std::string target = scratchPath("kept.img");
  writeFile(target, {'o', 'l', 'd'});
  std::string out;
  EXPECT_EQ(copy(shortDevice, target, &out), 1);
  EXPECT_NE(out.find("couldn't"), std::string::npos) << out;
  EXPECT_EQ(readFile(target), std::vector<unsigned char>({'o', 'l', 'd'}));
  for (const std::string& name : listDir(scratchDir()))
    EXPECT_EQ(name.find(".fsbmp-"), std::string::npos) << "temporary file left: " << name;

  // A missing device.
  EXPECT_EQ(copy(scratchPath("no-such-device"), target, &out), 1);
  EXPECT_NE(out.find("couldn't open"), std::string::npos) << out;
  EXPECT_EQ(readFile(target), std::vector<unsigned char>({'o', 'l', 'd'}));

  // The device itself as the target.
  EXPECT_EQ(copy(img->path, img->path, &out), 1);
  EXPECT_NE(out.find("is the device being copied"), std::string::npos) << out;
}

}  // namespace
