// The parser base, the chunk-size rules and the factory on inputs that no file system accepts.
#include <fcntl.h>

#include <cerrno>

#include "common/testutil.h"
#include "core/chunks.h"
#include "ext2/crc16.h"
#include "fsbmp/fsbmp.h"

using namespace fsbmp_test;

namespace {

// A parser with a fixed geometry, to reach the base's operations directly.
class PlainParser : public FsParser {
 public:
  explicit PlainParser(const std::string& dev) : FsParser(dev) {}
  CVoError getBmp(int, void**, long long*) override { return CVoError(); }

 protected:
  CVoError walkBitmap(const JxCodeLocation&, const ChunkLayout&, unsigned char*) override {
    return CVoError();
  }
};

}  // namespace

TEST(ParserCoreTest, Log2) {
  EXPECT_EQ(FsParser::log2(0), 0);
  EXPECT_EQ(FsParser::log2(1), 0);
  EXPECT_EQ(FsParser::log2(-8), 0);
  EXPECT_EQ(FsParser::log2(2), 1);
  EXPECT_EQ(FsParser::log2(4096), 12);
  EXPECT_EQ(FsParser::log2(1LL << 40), 40);
  EXPECT_EQ(FsParser::log2(3), -1);
  EXPECT_EQ(FsParser::log2(6), -1);
  EXPECT_EQ(FsParser::log2(4097), -1);
}

TEST(ParserCoreTest, FreshParserHasUnsetGeometryAndByteTables) {
  PlainParser p("x");
  EXPECT_EQ(p.blockSize, -1);
  EXPECT_EQ(p.blockCount, -1);
  EXPECT_EQ(p.devSize, -1);
  EXPECT_EQ(p.fsSize, -1);
  EXPECT_EQ(p.onesInByte[0xB5], 5);
  EXPECT_EQ(p.zerosInByte[0xB5], 3);
  EXPECT_EQ(p.onesInByte[0xFF], 8);
  EXPECT_EQ(p.zerosInByte[0], 8);
}

TEST(ParserCoreTest, ReadBlocksAndMeasuring) {
  std::string path = scratchPath("blocks.bin");
  std::vector<unsigned char> data(4096 * 20 + 100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i / 4096);
  writeFile(path, data);

  PlainParser p(path);
  ASSERT_GE(p.init().code, 0);
  EXPECT_EQ(p.devSize, static_cast<long long>(data.size()));
  ASSERT_GE(p.devFile.Open(path.c_str(), O_RDONLY, 0).code, 0);

  std::vector<unsigned char> buf(4096 * 2);
  ASSERT_GE(p.readBlocks(buf.data(), 4096, 3, 2).code, 0);
  EXPECT_EQ(buf[0], 3);
  EXPECT_EQ(buf[4096], 4);

  CVoError e = p.readBlocks(buf.data(), 4096, 20, 1);  // only 100 bytes there
  ASSERT_LT(e.code, 0);
  EXPECT_EQ(e.errNo(), ENOSPC);
  EXPECT_EQ(e.message(), "EOF while reading blocks 20-20 of size 4096");
  EXPECT_STREQ(e.location(0).function,
               "CVoError FsParser::readBlocks(void*, int, long long int, int)");
  EXPECT_STREQ(e.location(0).file, "fsbmp");

  e = p.readBlocks(buf.data(), 4096, 19, 2);
  EXPECT_EQ(e.message(), "EOF while reading blocks 19-20 of size 4096");

  PlainParser missing(scratchPath("none"));
  e = missing.init();
  ASSERT_LT(e.code, 0);
  EXPECT_EQ(e.message(), "Couldn't open " + scratchPath("none") + " for reading");
  EXPECT_EQ(e.errNo(), ENOENT);
}

TEST(ChunkRulesTest, SizeChecksAndCounts) {
  JxCodeLocation here = JX_LOCATION("t");
  for (int bad : {0, -4096, 6144, 3}) {
    CVoError e = fsbmp::checkChunkSize(here, bad, 1024);
    ASSERT_LT(e.code, 0) << bad;
    EXPECT_EQ(e.errNo(), EINVAL);
    EXPECT_EQ(e.message(), "Chunk size (" + std::to_string(bad) + ") must be a power of 2");
  }
  CVoError e = fsbmp::checkChunkSize(here, 2048, 4096);
  EXPECT_EQ(e.message(), "Chunk size (2048) must be a multiple of FS block size (4096)");
  e = fsbmp::checkChunkSize(here, 1, 4096);
  EXPECT_EQ(e.message(), "Chunk size (1) must be a multiple of FS block size (4096)");
  EXPECT_GE(fsbmp::checkChunkSize(here, 4096, 4096).code, 0);

  EXPECT_EQ(fsbmp::chunkCount(1000, 1, 4096000, 4096), 1000u);
  EXPECT_EQ(fsbmp::chunkCount(1000, 1, 8 << 20, 4096), 2048u);  // the device decides
  EXPECT_EQ(fsbmp::chunkCount(1, 1, 4097, 4096), 2u);           // a partial chunk counts
  EXPECT_EQ(fsbmp::chunkCount(5000, 1, 4096, 4096), 5000u);     // the file system decides

  unsigned char bm[2] = {0, 0};
  fsbmp::markChunk(bm, 9);
  EXPECT_EQ(bm[1], 0x02);
  EXPECT_LT(fsbmp::checkChunkCount(here, 1ull << 32, 512, UINT32_MAX).code, 0);
  EXPECT_GE(fsbmp::checkChunkCount(here, 0xFFFFFFFFull, 512, UINT32_MAX).code, 0);
}

TEST(FactoryTest, RefusesWhatNoParserRecognises) {
  const std::string zeros = scratchPath("zeros.img");
  mustRun("truncate -s 1M '" + zeros + "'");
  const std::string shortFile = scratchPath("short.img");
  writeFile(shortFile, std::vector<unsigned char>(1500, 0xAB));
  const std::string empty = scratchPath("empty.img");
  writeFile(empty, {});
  const std::string missing = scratchPath("missing");

  // The last candidate's refusal comes back: btrfs's, the why in the errno of its root frame.
  const struct {
    std::string dev;
    int errNo;
    std::string message;
  } cases[] = {
      {zeros, ENOSYS, "There is no btrfs magic on " + zeros},
      {shortFile, ENOSPC, "Couldn't read superblock from " + shortFile},
      {empty, ENOSPC, "Couldn't read superblock from " + empty},
      {missing, ENOENT, "Couldn't open " + missing + " for reading"},
      {scratchDir(), EISDIR, "Couldn't read superblock from " + scratchDir()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dev);
    CVoError err;
    EXPECT_EQ(FsParser::init(c.dev, &err), nullptr);
    ASSERT_LT(err.code, 0);
    EXPECT_EQ(err.errNo(), c.errNo) << err.toString();
    EXPECT_EQ(err.message(), c.message);
  }
}

// ext4's descriptor CRC-16: the catalogued check values of its polynomial with either seed, and
// the same register whether the bytes come in one piece or several.
TEST(ChecksumTest, Crc16CheckValues) {
  const unsigned char digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(fsbmp::crc16(0x0000, digits, sizeof digits), 0xBB3D);  // CRC-16/ARC
  EXPECT_EQ(fsbmp::crc16(0xFFFF, digits, sizeof digits), 0x4B37);  // CRC-16/MODBUS
  EXPECT_EQ(fsbmp::crc16(fsbmp::crc16(0xFFFF, digits, 4), digits + 4, 5), 0x4B37);
}
