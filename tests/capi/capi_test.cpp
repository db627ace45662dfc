// The C interface against the command-line tool and blkid: the bitmap, the used ranges, the
// kind and the geometry of every file system of the shared image table, of a whole disk and of
// its partitions; bad inputs, descriptors, callbacks and threads.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/oracle.h"
#include "fsbmp/fsbmp_c.h"

extern "C" int capi_signatures(void);

using namespace fsbmp_test;

namespace {

const uint64_t kChunk = 64 << 10;

std::string shq(const std::string& s) {
  return "'" + s + "'";
}

struct Closer {
  void operator()(fsbmp_source* s) const { fsbmp_close(s); }
};
using Source = std::unique_ptr<fsbmp_source, Closer>;

Source open(const std::string& path, int partition = 0) {
  fsbmp_source* s = nullptr;
  fsbmp_error err;
  const int rc = partition ? fsbmp_open_partition(path.c_str(), partition, &s, &err)
                           : fsbmp_open(path.c_str(), &s, &err);
  EXPECT_EQ(rc, 0) << err.message;
  return Source(s);
}

std::vector<unsigned char> bitmap(fsbmp_source* s, uint64_t chunk) {
  uint8_t* bits = nullptr;
  uint64_t n = 0;
  fsbmp_error err;
  EXPECT_EQ(fsbmp_bitmap(s, chunk, &bits, &n, &err), 0) << err.message;
  std::vector<unsigned char> v(bits, bits + (n + 7) / 8);
  fsbmp_free(bits);
  return v;
}

// The ranges as `fsbmp bitmap -f ranges` prints them.
std::string ranges(fsbmp_source* s, uint64_t chunk) {
  std::ostringstream out;
  fsbmp_error err;
  auto line = [](void* ctx, uint64_t offset, uint64_t length) {
    *static_cast<std::ostringstream*>(ctx) << offset << " " << length << "\n";
    return 0;
  };
  EXPECT_EQ(fsbmp_used_ranges(s, chunk, line, &out, &err), 0) << err.message;
  return out.str();
}

// The tool's raw bitmap and ranges of `path` (`-p N` in `more`).
void toolMaps(const std::string& path, const std::string& more, std::vector<unsigned char>* raw,
              std::string* rangeText) {
  const std::string file = scratchPath("tool.bmp");
  const std::string args = shq(path) + " -c " + std::to_string(kChunk) + more;
  mustRunTool("bitmap " + args + " -f raw -o " + shq(file));
  *raw = readFile(file);
  *rangeText = mustRunTool("bitmap " + args + " -f ranges");
}

// What blkid calls the file system at byte `offset` of `path`: "ext4", "xfs", ...
std::string blkidType(const std::string& path, long long offset = 0) {
  std::string out;
  run("blkid -p -o value -s TYPE -O " + std::to_string(offset) + " " + shq(path), &out);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

class CapiImageTest : public ::testing::TestWithParam<std::string> {};

TEST_P(CapiImageTest, AsTheToolAndBlkidSeeIt) {
  const ImageRecipe& recipe = imageRecipe(GetParam());
  for (const std::string& tool : fsOracle(recipe.fs).tools) FSBMP_REQUIRE_TOOL(tool);
  const std::string path = scratchPath(GetParam() + ".img");
  const std::string failure = makeImageFile(recipe, path);
  ASSERT_TRUE(failure.empty()) << failure;
  std::vector<unsigned char> raw;
  std::string rangeText;
  toolMaps(path, "", &raw, &rangeText);
  const std::string info = mustRunTool("info " + shq(path));

  Source s = open(path);
  ASSERT_TRUE(s);
  EXPECT_EQ(fsbmp_kind(s.get()), blkidType(path));
  EXPECT_NE(info.find("block size:  " + std::to_string(fsbmp_block_size(s.get())) + "\n"),
            std::string::npos)
      << info;
  EXPECT_NE(info.find("device size: " + std::to_string(fsbmp_device_size(s.get())) + "\n"),
            std::string::npos)
      << info;
  EXPECT_EQ(bitmap(s.get(), kChunk), raw);
  EXPECT_EQ(ranges(s.get(), kChunk), rangeText);
  mustRun("rm -f " + shq(path));
}

INSTANTIATE_TEST_SUITE_P(Images, CapiImageTest, ::testing::ValuesIn(imageNames()),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });

// A GPT disk: an ext4 and an XFS partition (made alone, written in), and a gap past them.
std::string makeDisk() {
  const std::string disk = scratchPath("disk.img"), fs = scratchPath("part.img");
  mustRun("truncate -s 128M " + shq(disk) +
          " && printf 'label: gpt\\n,40M,L\\n,48M,L\\n' | sfdisk -q " + shq(disk));
  const std::pair<long long, std::string> parts[] = {
      {1 << 20, "truncate -s 40M {fs} && mkfs.ext4 -q -F -b 1024 {fs}"},
      {41 << 20, "truncate -s 48M {fs} && " FSBMP_MKFS_XFS "{fs}"}};
  for (const auto& [start, command] : parts) {
    std::string c = command;
    for (size_t at; (at = c.find("{fs}")) != std::string::npos;) c.replace(at, 4, shq(fs));
    mustRun("rm -f " + shq(fs) + " && " + c + " && dd if=" + shq(fs) + " of=" + shq(disk) +
            " bs=1M seek=" + std::to_string(start >> 20) + " conv=notrunc status=none && rm -f " +
            shq(fs));
  }
  return disk;
}

TEST(CapiDiskTest, DiskAndPartitionsAsTheToolSeesThem) {
  FSBMP_REQUIRE_TOOL("sfdisk");
  FSBMP_REQUIRE_TOOL("mkfs.xfs");
  const std::string disk = makeDisk();
  std::vector<unsigned char> raw;
  std::string rangeText;
  toolMaps(disk, "", &raw, &rangeText);
  Source s = open(disk);
  ASSERT_TRUE(s);
  EXPECT_STREQ(fsbmp_kind(s.get()), "disk");
  EXPECT_EQ(fsbmp_block_size(s.get()), 512u);
  EXPECT_EQ(fsbmp_device_size(s.get()), 128u << 20);
  EXPECT_EQ(fsbmp_offset(s.get()), 0u);
  EXPECT_EQ(bitmap(s.get(), kChunk), raw);
  EXPECT_EQ(ranges(s.get(), kChunk), rangeText);

  const struct {
    int number;
    long long start, length;
    uint32_t blockSize;
  } parts[] = {{1, 1 << 20, 40 << 20, 1024}, {2, 41 << 20, 48 << 20, 4096}};
  for (const auto& p : parts) {
    SCOPED_TRACE("partition " + std::to_string(p.number));
    toolMaps(disk, " -p " + std::to_string(p.number), &raw, &rangeText);
    Source part = open(disk, p.number);
    ASSERT_TRUE(part);
    EXPECT_EQ(fsbmp_kind(part.get()), blkidType(disk, p.start));
    EXPECT_EQ(fsbmp_block_size(part.get()), p.blockSize);
    EXPECT_EQ(fsbmp_device_size(part.get()), static_cast<uint64_t>(p.length));
    EXPECT_EQ(fsbmp_offset(part.get()), static_cast<uint64_t>(p.start));
    EXPECT_EQ(bitmap(part.get(), kChunk), raw);
    EXPECT_EQ(ranges(part.get(), kChunk), rangeText);
  }
}

// Each failure: -1, errno, a message naming what is wrong, no source and no bitmap.
TEST(CapiErrorTest, BadInputsAreRefusedWithErrnoAndMessage) {
  EXPECT_EQ(capi_signatures(), 1);
  const std::string dir = scratchPath("a-dir"), junk = scratchPath("junk.img"),
                    empty = scratchPath("empty.img"), ext2 = scratchPath("small.img");
  mustRun("mkdir -p " + shq(dir) + " && head -c 1M /dev/urandom > " + shq(junk) + " && : > " +
          shq(empty) + " && truncate -s 8M " + shq(ext2) + " && mkfs.ext2 -q -F -b 4096 " +
          shq(ext2));
  const struct {
    std::string path;
    int partition;
    int errnum;
    const char* says;
  } cases[] = {
      {scratchPath("missing.img"), 0, ENOENT, "No such file"},
      {dir, 0, EISDIR, "directory"},
      {"/dev/null", 0, ENOTBLK, "empty device"},
      {junk, 0, ENOSYS, "no supported file system"},
      {empty, 0, EINVAL, "empty file"},
      {ext2, 1, EINVAL, "no partition table"},
      {scratchPath("missing.img"), 1, ENOENT, "No such file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    fsbmp_source* s = reinterpret_cast<fsbmp_source*>(&s);  // not null, to see it cleared
    auto openIt = [&](fsbmp_error* err) {
      return c.partition ? fsbmp_open_partition(c.path.c_str(), c.partition, &s, err)
                         : fsbmp_open(c.path.c_str(), &s, err);
    };
    fsbmp_error err;
    EXPECT_EQ(openIt(&err), -1);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(err.errnum, c.errnum);
    EXPECT_NE(std::string(err.message).find(c.says), std::string::npos) << err.message;
    EXPECT_EQ(openIt(nullptr), -1);  // no error wanted: none written
  }
  fsbmp_close(nullptr);
  fsbmp_free(nullptr);

  // Chunk sizes the file system can't take: nothing handed out.
  Source s = open(ext2);
  ASSERT_TRUE(s);
  for (uint64_t chunk : {0ull, 512ull, 3ull << 12, 2ull << 30, 1ull << 40}) {
    uint8_t* bits = reinterpret_cast<uint8_t*>(&bits);
    uint64_t n = 99;
    fsbmp_error err;
    EXPECT_EQ(fsbmp_bitmap(s.get(), chunk, &bits, &n, &err), -1) << chunk;
    EXPECT_EQ(err.errnum, EINVAL) << chunk;
    EXPECT_NE(err.message[0], '\0');
    EXPECT_EQ(bits, nullptr);
    EXPECT_EQ(n, 0u);
  }
  fsbmp_error err;
  EXPECT_EQ(fsbmp_set_journal_device(s.get(), junk.c_str(), &err), -1);
  EXPECT_EQ(err.errnum, EINVAL) << err.message;
}

TEST(CapiRangesTest, CallbackStopsTheWalkAndItsValueIsReturned) {
  const std::string img = scratchPath("stop.img");
  mustRun("truncate -s 64M " + shq(img) + " && mkfs.ext4 -q -F -b 1024 " + shq(img));
  Source s = open(img);
  ASSERT_TRUE(s);
  struct Count {
    int calls = 0;
  } count;
  auto stopAtSecond = [](void* ctx, uint64_t, uint64_t) {
    return ++static_cast<Count*>(ctx)->calls == 2 ? 7 : 0;
  };
  EXPECT_EQ(fsbmp_used_ranges(s.get(), kChunk, stopAtSecond, &count, nullptr), 7);
  EXPECT_EQ(count.calls, 2);
}

// Opens, maps and closes (and fails to open) many times: no descriptor stays open.
TEST(CapiResourceTest, NoDescriptorLeaksOverManyOpens) {
  const std::string img = scratchPath("fds.img"), junk = scratchPath("fds-junk.img");
  mustRun("truncate -s 16M " + shq(img) + " && mkfs.ext4 -q -F " + shq(img) +
          " && head -c 256K /dev/zero > " + shq(junk));
  const int before = countOpenFds();
  for (int i = 0; i < 200; ++i) {
    Source s = open(img);
    ASSERT_TRUE(s);
    EXPECT_EQ(bitmap(s.get(), kChunk).empty(), false);
    fsbmp_source* bad = nullptr;
    EXPECT_EQ(fsbmp_open(junk.c_str(), &bad, nullptr), -1);
  }
  EXPECT_EQ(countOpenFds(), before);
}

// Threads each with their own sources of different file systems at once: every map as alone.
TEST(CapiThreadTest, SeveralThreadsWithTheirOwnSources) {
  FSBMP_REQUIRE_TOOL("mkfs.xfs");
  FSBMP_REQUIRE_TOOL("mkreiserfs");
  const std::vector<std::string> commands = {"mkfs.ext4 -q -F -b 1024", "mkfs.ext2 -q -F -b 4096",
                                             FSBMP_MKFS_XFS, "mkreiserfs -f -q -b 4096"};
  std::vector<std::string> paths;
  std::vector<std::vector<unsigned char>> alone;
  for (size_t i = 0; i < commands.size(); ++i) {
    paths.push_back(scratchPath("thread" + std::to_string(i) + ".img"));
    mustRun("truncate -s 48M " + shq(paths[i]) + " && " + commands[i] + " " + shq(paths[i]) +
            " >/dev/null 2>&1");
    Source s = open(paths[i]);
    ASSERT_TRUE(s);
    alone.push_back(bitmap(s.get(), kChunk));
  }
  std::vector<int> mismatches(paths.size(), 0);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < paths.size(); ++i)
    threads.emplace_back([&, i] {
      for (int round = 0; round < 8; ++round) {
        fsbmp_source* s = nullptr;
        uint8_t* bits = nullptr;
        uint64_t n = 0;
        if (fsbmp_open(paths[i].c_str(), &s, nullptr) != 0 ||
            fsbmp_bitmap(s, kChunk, &bits, &n, nullptr) != 0 ||
            std::vector<unsigned char>(bits, bits + (n + 7) / 8) != alone[i])
          ++mismatches[i];
        fsbmp_free(bits);
        fsbmp_close(s);
      }
    });
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(mismatches[i], 0) << commands[i];
}

}  // namespace

// fsbmp_open_layers: a LUKS2 container with the device that decrypts it maps as the tool maps it
// with --decrypted; a decrypted device beside a file system, or one that fits no container, is
// refused with EINVAL.
TEST(CapiLayersTest, DecryptedDeviceAsTheToolTakesIt) {
  FSBMP_REQUIRE_TOOL("cryptsetup");
  FSBMP_REQUIRE_TOOL("mkfs.ext4");
  const std::string luks = scratchPath("capi-luks.img"), key = scratchPath("capi-luks.key");
  mustRun("rm -f " + luks + " && truncate -s 32M " + luks + " && echo secret > " + key +
          " && cryptsetup luksFormat -q --type luks2 --pbkdf pbkdf2 --pbkdf-force-iterations 1000 "
          "--key-file " +
          key + " " + luks + " 2>&1");
  const long long offset =
      std::stoll(mustRun("cryptsetup luksDump " + luks +
                         " | sed -n 's/^[[:space:]]*offset: \\([0-9]*\\) .*/\\1/p' "
                         "| head -1"));
  const std::string plain = scratchPath("capi-luks.plain");
  mustRun("rm -f " + plain + " && truncate -s " + std::to_string((32 << 20) - offset) + " " +
          plain + " && mkfs.ext4 -q -F " + plain);
  std::vector<unsigned char> raw;
  std::string rangeText;
  toolMaps(luks, " --decrypted " + shq(plain), &raw, &rangeText);

  const char* decrypted[] = {plain.c_str(), nullptr};
  fsbmp_source* s = nullptr;
  fsbmp_error err;
  ASSERT_EQ(fsbmp_open_layers(luks.c_str(), nullptr, decrypted, &s, &err), 0) << err.message;
  Source held(s);
  EXPECT_STREQ(fsbmp_kind(s), "disk");
  EXPECT_EQ(bitmap(s, kChunk), raw);
  EXPECT_EQ(ranges(s, kChunk), rangeText);

  const char* self[] = {luks.c_str(), nullptr};
  for (const auto& c : {std::make_pair(plain, decrypted), std::make_pair(luks, self)}) {
    s = nullptr;
    EXPECT_EQ(fsbmp_open_layers(c.first.c_str(), nullptr, c.second, &s, &err), -1) << c.first;
    EXPECT_EQ(err.errnum, EINVAL) << err.message;
    EXPECT_EQ(s, nullptr);
  }
}
