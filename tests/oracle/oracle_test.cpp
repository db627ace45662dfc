// Every image of the shared table (common/oracle.cpp) against its file system's own tool: the
// factory's geometry, the map at every chunk size, chunk sizes refused, a copy cut short, and the
// command-line tool's bitmap.
#include "common/oracle.h"

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

using namespace fsbmp_test;

namespace {

class OracleSuite : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    recipe_ = &imageRecipe(GetParam());
    fs_ = &fsOracle(recipe_->fs);
    for (const std::string& tool : fs_->tools) FSBMP_REQUIRE_TOOL(tool);
    im_ = &oracleImage(GetParam());
    ASSERT_TRUE(im_->failure.empty()) << im_->failure;
  }

  // The factory's parser of `path`, which must be of this file system; null where it is refused
  // (`err` and `refusal` say why: the factory's last refusal and this file system's).
  std::unique_ptr<FsParser> open(const std::string& path, CVoError* err,
                                 CVoError* refusal = nullptr) {
    std::vector<FsParser::Refusal> refusals;
    std::unique_ptr<FsParser> p(FsParser::init(path, err, &refusals));
    for (const FsParser::Refusal& r : refusals)
      if (r.fsType == fs_->fsType && refusal) *refusal = r.error;
    if (p) {
      EXPECT_EQ(p->fsType, fs_->fsType) << "the factory chose another parser";
    }
    return p;
  }

  const ImageRecipe* recipe_ = nullptr;
  const FsOracle* fs_ = nullptr;
  const OracleImage* im_ = nullptr;
};

TEST_P(OracleSuite, FactoryTakesItWithTheOraclesGeometry) {
  CVoError err;
  std::unique_ptr<FsParser> p = open(im_->path, &err);
  ASSERT_TRUE(p) << err.toString();
  EXPECT_EQ(p->blockSize, im_->blockSize);
  EXPECT_EQ(p->blockCount, im_->blockCount);
  EXPECT_EQ(p->fsSize, im_->blockSize * im_->blockCount);
  EXPECT_EQ(p->devSize, im_->devSize);
}

TEST_P(OracleSuite, MapEqualsTheOracleAtEveryChunkSize) {
  CVoError err;
  std::unique_ptr<FsParser> p = open(im_->path, &err);
  ASSERT_TRUE(p) << err.toString();
  EXPECT_TRUE(mapsAsOracle(p.get(), *im_, fs_->pastEnd));
}

TEST_P(OracleSuite, BadChunkSizesAreRefused) {
  CVoError err;
  std::unique_ptr<FsParser> p = open(im_->path, &err);
  ASSERT_TRUE(p) << err.toString();
  const std::string bs = std::to_string(im_->blockSize);
  const struct {
    int chunk;
    std::string message;
  } cases[] = {
      {0, "Chunk size (0) must be a power of 2"},
      {-im_->blockSize, "Chunk size (-" + bs + ") must be a power of 2"},
      {6144, "Chunk size (6144) must be a power of 2"},
      {im_->blockSize / 2, "Chunk size (" + std::to_string(im_->blockSize / 2) +
                               ") must be a multiple of FS block " + "size (" + bs + ")"},
      {1, "Chunk size (1) must be a multiple of FS block size (" + bs + ")"},
  };
  const std::string where =
      std::string("virtual CVoError ") + fs_->parserClass + "::getBmp(int, void**, long long int*)";
  for (const auto& c : cases) {
    void* bmp = reinterpret_cast<void*>(0x10);
    long long n = 99;
    err = p->getBmp(c.chunk, &bmp, &n);
    EXPECT_EQ(err.errNo(), EINVAL) << c.chunk;
    EXPECT_EQ(err.message(), c.message);
    EXPECT_EQ(err.location(0).function, where);
    EXPECT_EQ(bmp, nullptr);
    EXPECT_EQ(n, 0);
  }
}

// A device cut to half its file system: refused with the row's errno where the metadata the
// parser reads lies past the cut, otherwise mapped as the whole image (the blocks past the cut
// that the file system uses still count).
TEST_P(OracleSuite, CopyCutToHalfTheFileSystem) {
  const std::string copy = copyOf(*im_, GetParam() + "-half.img");
  const long long cut = im_->blockCount / 2 * im_->blockSize;
  mustRun("truncate -s " + std::to_string(cut) + " '" + copy + "'");
  CVoError err, refusal;
  std::unique_ptr<FsParser> p = open(copy, &err, &refusal);
  if (!p) {
    EXPECT_EQ(refusal.errNo(), recipe_->halfCopy) << refusal.toString();
  } else if (recipe_->halfCopy != 0) {
    ChunkBitmap got;
    err = getBitmap(p.get(), im_->blockSize, &got);
    EXPECT_EQ(err.errNo(), recipe_->halfCopy) << err.toString();
  } else {
    EXPECT_EQ(p->devSize, cut);
    for (int chunkSize : oracleChunkSizes(im_->blockSize)) {
      ChunkBitmap got;
      err = getBitmap(p.get(), chunkSize, &got);
      ASSERT_GE(err.code, 0) << err.toString();
      EXPECT_TRUE(mapsAsOracle(got, *im_, fs_->pastEnd, chunkSize, cut));
    }
  }
  mustRun("rm -f '" + copy + "'");
}

// `fsbmp info` gives the oracle's geometry, and `fsbmp bitmap` writes the library's map.
TEST_P(OracleSuite, ToolAgreesWithTheLibrary) {
  const std::string info = mustRunTool("info '" + im_->path + "'");
  for (const std::string& line : {std::string("type:        ") + fs_->typeName,
                                  "block size:  " + std::to_string(im_->blockSize),
                                  "blocks:      " + std::to_string(im_->blockCount),
                                  "device size: " + std::to_string(im_->devSize)})
    EXPECT_NE(info.find(line + "\n"), std::string::npos) << line << " not in:\n" << info;

  CVoError err;
  std::unique_ptr<FsParser> p = open(im_->path, &err);
  ASSERT_TRUE(p) << err.toString();
  const std::string file = scratchPath(GetParam() + ".bmp");
  for (int chunkSize : {64 << 10, 1 << 20}) {
    SCOPED_TRACE("chunk size " + std::to_string(chunkSize));
    mustRunTool("bitmap '" + im_->path + "' -c " + std::to_string(chunkSize) + " -f raw -o '" +
                file + "'");
    const std::vector<unsigned char> written = readFile(file);
    ChunkBitmap want;
    ASSERT_GE(getBitmap(p.get(), chunkSize, &want).code, 0);
    ASSERT_EQ(written.size(), static_cast<size_t>((want.nChunks + 7) / 8));
    for (long long c = 0; c < want.nChunks; ++c)
      ASSERT_EQ((written[static_cast<size_t>(c / 8)] >> (c % 8)) & 1, want.test(c))
          << "chunk " << c;
  }
}

INSTANTIATE_TEST_SUITE_P(Images, OracleSuite, ::testing::ValuesIn(imageNames()),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
