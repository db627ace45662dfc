// The nbdkit plugin with the real NBD tools: nbdcopy (following block status, and reading every
// byte), nbdinfo --map and qemu-img convert, on images whose free blocks hold a pattern.
#include <unistd.h>

#include <cstring>

#include "common/testutil.h"
#include "e2e_images.h"
#include "fsbmp/fsbmp_c.h"

using namespace fsbmp_test;
using namespace e2e_test;

namespace {

std::string quote(const std::string& s) {
  return "'" + s + "'";
}

// nbdkit serving `args` with the plugin under test, `script` run against it ($uri); the exit
// status, and nbdkit's and the script's output in `out`.
int serve(const std::string& args, const std::string& script, std::string* out) {
  return run("nbdkit -U - " FSBMP_NBDKIT_PLUGIN " " + args + " --run " + quote(script), out, true);
}

std::string text(const std::string& path) {
  const std::vector<unsigned char> bytes = readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

bool haveNbdTools() {
  for (const char* t : {"nbdkit", "nbdcopy", "nbdinfo", "qemu-img"})
    if (!haveCommand(t)) return false;
  return true;
}

struct Range {
  long long offset, length;
  bool operator==(const Range& o) const { return offset == o.offset && length == o.length; }
};
std::ostream& operator<<(std::ostream& os, const Range& r) {
  return os << r.offset << "+" << r.length;
}

void addMerged(std::vector<Range>* v, long long offset, long long length) {
  if (!v->empty() && v->back().offset + v->back().length == offset)
    v->back().length += length;
  else
    v->push_back({offset, length});
}

struct Case {
  const char* image;
  const char* chunkArg;  // as given to the plugin ("" for its default)
  long long chunkSize;
  long long tail;  // bytes appended past the image, a chunk's worth or less, to end mid-chunk
  bool partition;  // served as partition 1 of a disk, between megabytes of random bytes
};

class NbdkitTest : public ::testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() { images(); }
};

// One server per image: a copy following block status, a copy reading every byte, the map, and
// a qcow2 made by qemu-img. Both copies must hold the used chunks as the device does and zeros
// elsewhere, though the device holds a pattern there.
TEST_P(NbdkitTest, ToolsCopyOnlyTheUsedChunks) {
  if (!haveNbdTools()) GTEST_SKIP() << "nbdkit, nbdcopy, nbdinfo or qemu-img is not installed";
  const Case& c = GetParam();
  const FsImage* original = image(c.image);
  ASSERT_NE(original, nullptr);
  if (!original->failure.empty()) GTEST_SKIP() << c.image << ": " << original->failure;
  FsImage img = *original;
  if (c.tail > 0) {
    img.path = scratchPath(img.name + ".tail.img");
    copyFile(original->path, img.path);
    mustRun("head -c " + std::to_string(c.tail) + " /dev/urandom >> " + quote(img.path));
    img.devSize += c.tail;
  }
  std::string served = quote(img.path), toolArgs = quote(img.path);
  if (c.partition) {
    FSBMP_REQUIRE_TOOL("sfdisk");
    const std::string disk = scratchPath(img.name + ".disk.img");
    mustRun("(head -c 1048576 /dev/urandom; cat " + quote(img.path) +
            "; head -c 1048576 /dev/urandom) > " + quote(disk) + " && echo 'start=2048, size=" +
            std::to_string(img.devSize / 512) + ", type=83' | sfdisk -q " + quote(disk));
    served = quote(disk) + " partition=1";
    toolArgs = quote(disk) + " -p 1";
  }
  const std::string dir = scratchPath(std::string("nbd-") + c.image);
  mustRun("mkdir -p " + quote(dir));
  const std::string chunk = *c.chunkArg ? std::string(" chunk-size=") + c.chunkArg : "";
  std::string out;
  ASSERT_EQ(serve(served + chunk,
                  "cd " + quote(dir) +
                      " && nbdcopy \"$uri\" copy.img && nbdcopy --no-extents \"$uri\" plain.img"
                      " && nbdinfo --map \"$uri\" >map && nbdinfo \"$uri\" >info"
                      " && qemu-img convert -f raw -O qcow2 \"$uri\" copy.qcow2"
                      " && qemu-img compare -f qcow2 -F raw copy.qcow2 copy.img",
                  &out),
            0)
      << out;

  // The tool's used ranges at the same chunk size, and the device as a plain reader should see
  // it through the plugin.
  const std::string ranges = mustRunTool("bitmap " + toolArgs + " --chunk-size " +
                                         std::to_string(c.chunkSize) + " --format ranges");
  std::vector<Range> used;
  forEachRangeLine(ranges, [&](long long o, long long l) { addMerged(&used, o, l); });
  const std::vector<unsigned char> device = readWhole(img.path);
  std::vector<unsigned char> expected(device.size(), 0);
  long long usedBytes = 0, freeJunk = 0, at = 0;
  auto countJunk = [&](long long from, long long to) {
    for (long long i = from; i < to; ++i) freeJunk += device[static_cast<size_t>(i)] != 0;
  };
  for (const Range& r : used) {
    countJunk(at, r.offset);
    memcpy(&expected[static_cast<size_t>(r.offset)], &device[static_cast<size_t>(r.offset)],
           static_cast<size_t>(r.length));
    usedBytes += r.length;
    at = r.offset + r.length;
  }
  countJunk(at, img.devSize);
  ASSERT_GT(freeJunk, 0) << "no stale bytes in the free chunks: the test proves nothing";
  EXPECT_TRUE(readWhole(dir + "/copy.img") == expected) << "nbdcopy's copy";
  EXPECT_TRUE(readWhole(dir + "/plain.img") == expected) << "a plain read of every byte";

  // The map: exactly the tool's ranges as data, everything else a hole that reads as zeros.
  std::vector<Range> data;
  long long end = 0;
  const std::string map = text(dir + "/map");
  size_t start = 0;
  while (start < map.size()) {
    long long o = 0, l = 0;
    int type = -1;
    ASSERT_EQ(sscanf(map.c_str() + start, "%lld %lld %d", &o, &l, &type), 3) << map;
    EXPECT_EQ(o, end) << map;
    EXPECT_TRUE(type == 0 || type == 3) << "type " << type << " at " << o;
    if (type == 0) addMerged(&data, o, l);
    end = o + l;
    start = map.find('\n', start);
    start = start == std::string::npos ? map.size() : start + 1;
  }
  EXPECT_EQ(end, img.devSize);
  EXPECT_EQ(data, used);
  EXPECT_NE(text(dir + "/info").find("is_read_only: true"), std::string::npos);

  // qemu-img stores no more than the used bytes and its own tables.
  const std::string info = mustRun("qemu-img info --output=json " + quote(dir + "/copy.qcow2"));
  const size_t key = info.find("\"actual-size\":");
  ASSERT_NE(key, std::string::npos) << info;
  EXPECT_LE(atoll(info.c_str() + key + 14), usedBytes + (1 << 20)) << info;

  // The copy's file system: its checker and its files.
  std::string notes;
  EXPECT_EQ(findLoss(img, dir + "/copy.img", &notes), "");
  if (!notes.empty()) std::cout << "[   NOTE   ] " << notes << "\n";
  mustRun("rm -rf " + quote(dir));
  if (c.tail > 0) unlink(img.path.c_str());
  if (c.partition) unlink(scratchPath(img.name + ".disk.img").c_str());
}

const Case kCases[] = {
    {"ext4", "", 65536, 0, false},
    {"xfs-v5", "16K", 16384, 0, false},
    {"ext2", "4k", 4096, 3000, false},
#ifdef FSBMP_HAVE_SOURCE_OFFSET
    {"ext3", "", 65536, 0, true},
#endif
};

INSTANTIATE_TEST_SUITE_P(Images, NbdkitTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) {
                           std::string n =
                               std::string(i.param.image) + (i.param.partition ? "_partition" : "");
                           for (char& ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

// A device the library cannot map, or a map it cannot build, keeps nbdkit from starting, with the
// library's own message; the client never runs.
TEST(NbdkitRefusal, ServerDoesNotStartWithTheLibrarysMessage) {
  if (!haveCommand("nbdkit")) GTEST_SKIP() << "nbdkit is not installed";
  const std::string junk = scratchPath("nbd-random.img");
  mustRun("head -c 4194304 /dev/urandom > " + quote(junk));
  const struct {
    std::string path, args;
  } cases[] = {
      {junk, ""},
      {scratchPath("nbd-missing.img"), ""},
      {images().front().path, "chunk-size=3000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " " + c.args);
    // The library's message for the same request through its C interface.
    fsbmp_source* s = nullptr;
    fsbmp_error err{};
    int rc = fsbmp_open(c.path.c_str(), &s, &err);
    if (rc == 0) {
      uint8_t* bits = nullptr;
      uint64_t n = 0;
      rc = fsbmp_bitmap(s, 3000, &bits, &n, &err);
      fsbmp_free(bits);
      fsbmp_close(s);
    }
    ASSERT_EQ(rc, -1);
    std::string out;
    EXPECT_NE(serve(quote(c.path) + " " + c.args, "echo served", &out), 0) << out;
    EXPECT_EQ(out.find("served"), std::string::npos) << out;
    EXPECT_NE(out.find(err.message), std::string::npos) << "wanted: " << err.message << "\n" << out;
  }
  unlink(junk.c_str());
}

}  // namespace
