// Images made by the real mkfs tools, and what each file system's own tool says they use: the
// oracles every map is compared with.
#ifndef FSBMP_TESTS_ORACLE_H
#define FSBMP_TESTS_ORACLE_H

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/testutil.h"

// mkfs.xfs, which makes file systems under 300 MB only for its own test suite.
#define FSBMP_MKFS_XFS "TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 mkfs.xfs -f -q "

namespace fsbmp_test {

// An image and its used blocks as its file system's own tool reads them.
struct OracleImage {
  virtual ~OracleImage() = default;
  std::string name;
  std::string path;
  std::string failure;  // why the image could not be made or read; empty when it was
  int blockSize = 0;
  long long blockCount = 0;  // of the file system
  long long devSize = 0;     // of the image file
  std::vector<bool> used;    // per file-system block
};

// How a parser maps the chunk that straddles the file system's end and the chunks past it.
enum class PastEnd {
  kClear,    // the straddling chunk as the oracle says; the chunks past it clear
  kUsed,     // the straddling chunk and the chunks past it used
  kAtLeast,  // the straddling chunk used where the oracle says (bitmap padding may set it, and
             // the chunks past it)
};

// A file system the oracle knows.
struct FsOracle {
  const char* fs;           // "ext2", "xfs", "reiserfs": what an ImageRecipe names
  int fsType;               // FsParser::kExt2, ...
  const char* typeName;     // the type `fsbmp info` prints
  const char* parserClass;  // as error locations name it
  PastEnd pastEnd;
  std::vector<std::string> tools;  // the commands its images and its oracle need
  // A blank image of the file system's own type (which may carry more than OracleImage).
  std::unique_ptr<OracleImage> (*blank)();
  // Reads the geometry and used blocks of the image at `image->path` with the file system's own
  // tool; sets `image->failure` where it cannot.
  void (*read)(OracleImage* image);
};

const FsOracle& fsOracle(const std::string& fs);

// An image of the shared table: `command` run on a file of `size`, then `edit`.
struct ImageRecipe {
  const char* name;
  const char* fs;
  const char* size;     // of the image file, at least the file system's
  const char* command;  // {img}: the image; {dir}: a small tree of files; {fragdir}: that tree
                        // with 200 files of 64 KiB, and {rmlist} a debugfs script removing all
                        // but every twentieth of them
  // What getBmp of a copy cut to half the file system fails with (errno), or 0 when the metadata
  // it reads all lies in that half and the copy maps as the whole image does.
  int halfCopy;
  void (*edit)(const std::string& path) = nullptr;
};

// Every image of the table, in order.
const std::vector<ImageRecipe>& imageRecipes();
const ImageRecipe& imageRecipe(const std::string& name);
// The names of the table's images of one file system ("" for all).
std::vector<std::string> imageNames(const std::string& fs = "");

// The named image of the table, made and read on first use (once per test program). Its dynamic
// type is the one fsOracle(recipe.fs).blank() gives.
const OracleImage& oracleImage(const std::string& name);

// Makes `recipe`'s image at `path` (and edits it); returns why it failed, "" when it did not.
// `more` fills in further placeholders of the command: {"{name}", "its value"}, ...
std::string makeImageFile(const ImageRecipe& recipe, const std::string& path,
                          const std::map<std::string, std::string>& more = {});
// Reads any image of file system `fs` with its oracle.
std::unique_ptr<OracleImage> readOracle(const std::string& fs, const std::string& path);

// A copy of an image in the scratch directory, to edit or cut.
std::string copyOf(const OracleImage& image, const std::string& name);

// Chunk sizes to compare maps at: every power of two from the block size to 256 MiB.
std::vector<int> oracleChunkSizes(int blockSize);

// A map of `image` at `chunkSize` against the oracle: as many chunks as the file system or the
// device of `devSize` bytes (whichever is longer) fill, each whole chunk of the file system used
// exactly when one of its blocks is, and the end as `pastEnd` says.
::testing::AssertionResult mapsAsOracle(const ChunkBitmap& got, const OracleImage& image,
                                        PastEnd pastEnd, int chunkSize, long long devSize);
// The same for the map getBmp makes of the image's own device, at every oracleChunkSizes.
::testing::AssertionResult mapsAsOracle(FsParser* parser, const OracleImage& image,
                                        PastEnd pastEnd);

}  // namespace fsbmp_test

#endif
