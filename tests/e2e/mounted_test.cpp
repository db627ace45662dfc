// The tool on devices in use, through real loop devices and mounts: a copy refuses a file system
// mounted read-write (the device itself, an image file behind a loop device, a whole disk whose
// partition is mounted) unless forced, bitmap and map warn and still run, read-only mounts are
// fine, and a mounted block device is never written into.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "common/testutil.h"
#include "e2e_images.h"

using namespace fsbmp_test;
using namespace e2e_test;

namespace {

std::string quote(const std::string& s) {
  return "'" + s + "'";
}

std::string substitute(std::string text, const std::map<std::string, std::string>& vars) {
  for (const auto& v : vars)
    for (size_t at = text.find(v.first); at != std::string::npos; at = text.find(v.first, at))
      text.replace(at, v.first.size(), v.second);
  return text;
}

// A one-partition MBR disk image: the partition starts at 1 MiB and fills the rest.
void writeMbrDisk(const std::string& path, long long bytes) {
  mustRun("truncate -s " + std::to_string(bytes) + " " + quote(path));
  std::vector<unsigned char> mbr(512, 0);
  mbr[446 + 4] = 0x83;
  putLE32(&mbr, 446 + 8, 2048);
  putLE32(&mbr, 446 + 12, static_cast<uint32_t>(bytes / 512 - 2048));
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  patchFile(path, 0, mbr);
}

// The first partition of a loop device as a device node of its own (there may be no udev to
// make one): the kernel is asked to read the table, and the node made from sysfs.
std::string firstPartition(const std::string& loop) {
  const std::string name = loop.substr(loop.rfind('/') + 1) + "p1";
  run("partx -a " + quote(loop) + " 2>/dev/null");
  std::ifstream in("/sys/class/block/" + name + "/dev");
  unsigned maj = 0, min = 0;
  char colon = 0;
  if (!(in >> maj >> colon >> min)) return "";
  const std::string node = scratchPath(name);
  unlink(node.c_str());
  if (mknod(node.c_str(), S_IFBLK | 0600, makedev(maj, min)) != 0) return "";
  return node;
}

struct Case {
  std::string args;
  int status;
  std::vector<std::string> expect;
  std::string reject;
};

class MountedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "loop devices and mounts need root";
    if (!haveCommand("mkfs.ext4") || !haveCommand("losetup") || !haveCommand("mount"))
      GTEST_SKIP() << "needs mkfs.ext4, losetup and mount";
  }
  // Runs each case with {DEV}, {MNT} etc. filled in; a refused copy leaves no {OUT}.
  void check(const std::vector<Case>& cases, const std::map<std::string, std::string>& vars) {
    const std::string out = vars.at("{OUT}");
    for (const Case& c : cases) {
      const std::string args = substitute(c.args, vars);
      SCOPED_TRACE(args);
      unlink(out.c_str());
      std::string text;
      EXPECT_EQ(run(tool() + " " + args, &text, true), c.status) << text;
      for (const std::string& e : c.expect)
        EXPECT_NE(text.find(substitute(e, vars)), std::string::npos) << e << " in:\n" << text;
      if (!c.reject.empty()) {
        EXPECT_EQ(text.find(c.reject), std::string::npos) << text;
      }
      if (c.status != 0) {
        EXPECT_NE(access(out.c_str(), F_OK), 0) << "a refused copy wrote";
      }
    }
  }
};

TEST_F(MountedTest, DevicesInUse) {
  const std::string image = scratchPath("live.img"), source = scratchPath("other.img");
  mustRun("truncate -s 32M " + quote(image) + " " + quote(source) + " && mkfs.ext4 -q -F " +
          quote(image) + " && mkfs.ext4 -q -F " + quote(source));
  LoopDevice loop(image);
  if (loop.device.empty()) GTEST_SKIP() << "no free loop device";
  std::map<std::string, std::string> vars = {{"{DEV}", loop.device},
                                             {"{NAME}", loop.device.substr(5)},
                                             {"{IMG}", image},
                                             {"{SRC}", source},
                                             {"{OUT}", scratchPath("copy.img")}};
  {
    Mount rw(loop.device, "rw");
    ASSERT_NE(rw.dir, "") << rw.error;
    vars["{MNT}"] = rw.dir;
    // Committed before the maps below, so that they don't read a journal the kernel is writing
    // (a half-written transaction is refused).
    mustRun("head -c 300000 /dev/urandom > " + quote(rw.dir + "/file") + " && sync -f " +
            quote(rw.dir));
    check({{"copy {DEV} {OUT} -c 64K",
            1,
            {"{DEV} is mounted read-write at {MNT}.", "fsfreeze --freeze {MNT}) and add --force"},
            ""},
           {"copy {IMG} {OUT} -c 64K", 1, {"is mounted read-write at {MNT} (through {NAME})"}, ""},
           {"copy {DEV} {OUT} -c 64K -q --force", 0, {"copying anyway (--force)", "written:"}, ""},
           {"bitmap {DEV} -c 64K -f json",
            0,
            {"fsbmp: warning: {DEV} is mounted read-write at {MNT}: the bitmap may be stale",
             "\"warnings\": [\n    \"{DEV} is mounted read-write"},
            ""},
           {"map {DEV}", 0, {"fsbmp: warning: {DEV} is mounted read-write"}, ""},
           {"info {DEV}", 0, {"ext2/3/4"}, "warning"},
           {"copy {SRC} {DEV} -c 64K", 1, {"{DEV} is in use (mounted read-write at {MNT})"}, ""}},
          vars);
  }
  {
    Mount ro(loop.device, "ro");
    ASSERT_NE(ro.dir, "") << ro.error;
    vars["{MNT}"] = ro.dir;
    check({{"copy {DEV} {OUT} -c 64K -q", 0, {"written:"}, "warning"},
           {"bitmap {DEV} -c 64K -f ranges", 0, {}, "warning"},
           {"copy {SRC} {DEV} -c 64K", 1, {"{DEV} is in use (mounted read-only at {MNT})"}, ""}},
          vars);
  }
  {
    // A loop device over the device, mounted: the mount is found through it.
    LoopDevice stacked(loop.device);
    ASSERT_NE(stacked.device, "");
    Mount rw(stacked.device, "rw");
    ASSERT_NE(rw.dir, "") << rw.error;
    vars["{MNT}"] = rw.dir;
    vars["{STACKED}"] = stacked.device.substr(5);
    check({{"copy {DEV} {OUT} -c 64K", 1, {"at {MNT} (through {STACKED})"}, ""}}, vars);
  }
  // Nothing above wrote into the file system.
  std::string fsck;
  EXPECT_EQ(run("e2fsck -fn " + quote(image), &fsck, true), 0) << fsck;
}

TEST_F(MountedTest, WholeDiskWithAMountedPartition) {
  FSBMP_REQUIRE_TOOL("partx");
  const std::string disk = scratchPath("disk.img");
  writeMbrDisk(disk, 48 << 20);
  LoopDevice loop(disk, true);
  if (loop.device.empty()) GTEST_SKIP() << "no free loop device";
  const std::string part = firstPartition(loop.device);
  if (part.empty()) GTEST_SKIP() << "the kernel made no partition device of " << loop.device;
  mustRun("mkfs.ext4 -q -F " + quote(part));
  Mount rw(part, "rw");
  ASSERT_NE(rw.dir, "") << rw.error;
  check(
      {{"copy {DEV} {OUT} -c 64K",
        1,
        {"{DEV} is mounted read-write at {MNT} (through {NAME}p1)"},
        ""},
       {"copy {PART} {OUT} -c 64K", 1, {"{PART} is mounted read-write at {MNT}."}, ""},
       {"info {DEV}", 0, {"type:        disk, MBR partition table", "ext2/3/4"}, ""},
       {"bitmap {DEV} -c 64K -f ranges", 0, {"warning: {DEV} is mounted read-write at {MNT}"}, ""}},
      {{"{DEV}", loop.device},
       {"{NAME}", loop.device.substr(5)},
       {"{PART}", part},
       {"{MNT}", rw.dir},
       {"{OUT}", scratchPath("copy.img")}});
}

}  // namespace
