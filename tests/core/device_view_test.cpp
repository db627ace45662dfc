// Parsers reading through a view: a file system that lies inside a larger image, as a partition
// does, reads as it does on its own; reads stop at the view's end.
#include "core/device_view.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/oracle.h"
#include "core/registry.h"
#include "fsbmp/fsbmp.h"
#include "fsbmp/fsbmpVxFS.h"

using namespace fsbmp_test;

namespace {

std::shared_ptr<fsbmp::DeviceView> openWhole(const std::string& path, CVoFile* file) {
  EXPECT_GE(file->Open(path.c_str(), O_RDONLY, 0).code, 0) << path;
  return std::make_shared<fsbmp::FileView>(file);
}

TEST(DeviceViewTest, ExtentsReadEndToEndAndStopAtTheirEnd) {
  std::vector<unsigned char> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i);
  const std::string path = scratchPath("extents.bin");
  writeFile(path, data);
  CVoFile file;
  // Bytes 100..149, then 10..29, then 290..309 of which only 290..299 exist.
  fsbmp::ExtentView view(openWhole(path, &file), {{100, 50}, {10, 20}, {290, 20}});
  int64_t length = 0;
  ASSERT_GE(view.length(&length).code, 0);
  EXPECT_EQ(length, 90);

  struct Case {
    int64_t offset;
    uint32_t size;
    std::vector<unsigned char> expected;
  };
  const Case cases[] = {
      {0, 3, {100, 101, 102}},
      {48, 4, {148, 149, 10, 11}},              // across two extents
      {68, 4, {28, 29, 290 % 256, 291 % 256}},  // into the last
      {78, 8, {298 % 256, 299 % 256}},          // the file ends inside the last extent: short
      {90, 4, {}},                              // at the view's end
      {1000, 4, {}},                            // past it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    std::vector<unsigned char> buf(c.size, 0xEE);
    uint32_t got = 99;
    ASSERT_GE(view.readAt(c.offset, buf.data(), c.size, &got).code, 0);
    ASSERT_EQ(got, c.expected.size());
    buf.resize(got);
    EXPECT_EQ(buf, c.expected);
  }
}

// Each file system is made alone (an image of the shared table), then placed 1 MiB into a disk
// image between junk bytes; the parser reading the slice of the disk must give the bitmap it gives
// for the file system alone.
class EmbeddedTest : public ::testing::TestWithParam<std::string> {};

TEST_P(EmbeddedTest, SliceOfADiskReadsAsTheFileSystemAlone) {
  for (const std::string& tool : fsOracle(imageRecipe(GetParam()).fs).tools)
    FSBMP_REQUIRE_TOOL(tool);
  const OracleImage& im = oracleImage(GetParam());
  ASSERT_EQ(im.failure, "");
  const std::string& fs = im.path;

  const std::vector<unsigned char> image = readFile(fs);
  const size_t lead = 1 << 20;
  std::vector<unsigned char> disk(lead, 0x5A);
  disk.insert(disk.end(), image.begin(), image.end());
  disk.insert(disk.end(), 1 << 20, 0xA5);
  const std::string diskPath = scratchPath(GetParam() + "-disk.img");
  writeFile(diskPath, disk);

  CVoError err;
  std::unique_ptr<FsParser> alone(FsParser::init(fs, &err));
  ASSERT_TRUE(alone) << err.toString();
  ChunkBitmap expected;
  ASSERT_GE(getBitmap(alone.get(), 65536, &expected).code, 0);

  CVoFile file;
  const int64_t length = static_cast<int64_t>(image.size());
  auto slice = std::make_shared<fsbmp::ExtentView>(
      openWhole(diskPath, &file),
      std::vector<fsbmp::ExtentView::Extent>{{static_cast<int64_t>(lead), length}});
  std::unique_ptr<FsParser> inside(fsbmp::probeView(slice, diskPath + "#1", &err));
  ASSERT_TRUE(inside) << err.toString();
  EXPECT_EQ(inside->fsType, alone->fsType);
  EXPECT_EQ(inside->devSize, length);
  EXPECT_EQ(inside->blockCount, alone->blockCount);
  ChunkBitmap got;
  ASSERT_GE(getBitmap(inside.get(), 65536, &got).code, 0);
  ASSERT_EQ(got.nChunks, expected.nChunks);
  EXPECT_EQ(memcmp(got.bits.get(), expected.bits.get(), (got.nChunks + 7) / 8), 0);

  // The slice's last block reads; the one after it is past the view's end, as on a short device.
  std::vector<unsigned char> block(4096);
  const long long last = length / 4096 - 1;
  EXPECT_GE(inside->readBlocks(block.data(), 4096, last, 1).code, 0);
  EXPECT_EQ(0, memcmp(block.data(), image.data() + last * 4096, block.size()));
  err = inside->readBlocks(block.data(), 4096, last, 2);
  EXPECT_EQ(err.errNo(), ENOSPC);
  EXPECT_EQ(err.message(), "EOF while reading blocks " + std::to_string(last) + "-" +
                               std::to_string(last + 1) + " of size 4096");
}

INSTANTIATE_TEST_SUITE_P(FileSystems, EmbeddedTest,
                         ::testing::Values("ext4_csum_seed", "xfs_v5", "reiserfs_512"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

// fsdb opens what it reads by path, so VxFS inside a partition is refused, not misread.
TEST(DeviceViewTest, VxFSInsideASliceIsRefused) {
  std::vector<unsigned char> disk(1 << 20, 0);
  const unsigned char magic[4] = {0xa5, 0x01, 0xfc, 0xf5};
  memcpy(disk.data() + 65536 + 8192, magic, sizeof magic);
  const std::string path = scratchPath("vxfs-disk.img");
  writeFile(path, disk);
  CVoFile file;
  auto slice = std::make_shared<fsbmp::ExtentView>(
      openWhole(path, &file), std::vector<fsbmp::ExtentView::Extent>{{65536, 512 << 10}});
  CVoError err;
  std::unique_ptr<FsParser> p(new FsParserVxFS(slice, "disk#2", &err));
  EXPECT_EQ(err.errNo(), ENOSYS);
  EXPECT_EQ(err.message(),
            "disk#2 holds VxFS, which fsdb can read only as a whole device or image");
}

}  // namespace
