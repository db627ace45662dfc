#include "common/oracle.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "btrfs/btrfs_images.h"
#include "ext2/ext2_images.h"
#include "reiserfs/reiserfs_images.h"
#include "xfs/xfs_images.h"

namespace fsbmp_test {

namespace {

template <class Image>
std::unique_ptr<OracleImage> blankOf() {
  return std::unique_ptr<OracleImage>(new Image);
}

std::string quoted(const std::string& s) {
  return "'" + s + "'";
}

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

// A small tree of files for the populated images.
const std::string& contentDir() {
  static std::string dir;
  if (dir.empty()) {
    dir = scratchPath("oracle-content");
    mustRun("mkdir -p '" + dir + "/sub/deeper' && head -c 1500000 /dev/urandom > '" + dir +
            "/big' && head -c 200000 /dev/urandom > '" + dir +
            "/sub/mid' && for i in 1 2 3 4 5 6 7 8; do head -c $((i * 3000)) "
            "/dev/urandom > '" +
            dir + "/sub/deeper/f'$i; done && ln -s big '" + dir + "/link'");
  }
  return dir;
}

// The content tree plus 200 files of 64 KiB, and a debugfs script removing all but every
// twentieth of them.
const std::string& fragmentedDir() {
  static std::string dir;
  if (dir.empty()) {
    dir = scratchPath("oracle-fragmented");
    mustRun("cp -a '" + contentDir() + "' '" + dir + "' && mkdir '" + dir +
            "/frag' && for i in $(seq 100 299); do head -c 65536 /dev/urandom > '" + dir +
            "/frag/f'$i; [ $((i % 20)) -eq 0 ] || echo \"rm /frag/f$i\"; done > '" + dir + ".rm'");
  }
  return dir;
}

long long ceilDiv(long long a, long long b) {
  return (a + b - 1) / b;
}

}  // namespace

const FsOracle& fsOracle(const std::string& fs) {
  static const FsOracle oracles[] = {
      {"ext2",
       FsParser::kExt2,
       "ext2/3/4",
       "FsParserExt2",
       PastEnd::kAtLeast,
       {"mkfs.ext4", "debugfs", "tune2fs", "dumpe2fs"},
       blankOf<ext2_test::Ext2Image>,
       ext2_test::readDumpe2fs},
      {"xfs",
       FsParser::kXFS,
       "XFS",
       "FsParserXFS",
       PastEnd::kUsed,
       {"mkfs.xfs", "xfs_db"},
       blankOf<xfs_test::Image>,
       xfs_test::readXfsDb},
      {"reiserfs",
       FsParser::kReiserFS,
       "ReiserFS",
       "FsParserReiserFS",
       PastEnd::kClear,
       {"mkreiserfs", "debugreiserfs"},
       blankOf<OracleImage>,
       reiserfs_test::readDebugreiserfs},
      {"btrfs",
       FsParser::kBtrfs,
       "btrfs",
       "FsParserBtrfs",
       PastEnd::kClear,
       {"mkfs.btrfs", "btrfs"},
       blankOf<btrfs_test::Image>,
       btrfs_test::readDumpTree},
  };
  for (const FsOracle& o : oracles)
    if (fs == o.fs) return o;
  ADD_FAILURE() << "no oracle for file system " << fs;
  return oracles[0];
}

// ext2/3/4: 1 KiB and 4 KiB blocks, flex_bg and not, meta_bg, 32-, 64- and 128-byte
// descriptors, sparse_super2, no sparse_super, bigalloc, a short last group, populated file
// systems. XFS: versions 5 and 4, block sizes from 512 bytes to 4 KiB, a shorter last AG.
// ReiserFS: the smallest and the usual block size, bitmaps in several blocks.
const std::vector<ImageRecipe>& imageRecipes() {
  static const std::vector<ImageRecipe> recipes = {
      {"ext2_1k", "ext2", "24M", "mkfs.ext2 -q -F -b 1024 -d {dir} {img} 20000", ENOSPC},
      {"ext2_nosparse", "ext2", "48M",
       "mkfs.ext2 -q -F -b 4096 -g 2048 -O ^sparse_super,^resize_inode {img} 10000", ENOSPC},
      {"ext3_1k_metabg", "ext2", "48M",
       "mkfs.ext3 -q -F -b 1024 -g 1024 -O meta_bg,^resize_inode {img} 40000", ENOSPC},
      // Populated, then most of 200 small files removed: used blocks in the middle of chunks.
      {"ext4_4k", "ext2", "120M",
       "mkfs.ext4 -q -F -b 4096 -g 4096 -d {fragdir} {img} 30000 && debugfs -w -f {rmlist} {img}",
       0},
      // 1 KiB blocks, populated: mke2fs -d leaves BLOCK_UNINIT groups full of inodes whose blocks
      // lie in their flex group's first group.
      {"ext4_1k", "ext2", "40M", "mkfs.ext4 -q -F -b 1024 -g 2048 -d {fragdir} {img} 30000", 0},
      {"ext4_noflex_32", "ext2", "120M",
       "mkfs.ext4 -q -F -b 4096 -g 4096 -O ^flex_bg,^64bit,^metadata_csum,uninit_bg {img} 30000",
       ENOSPC},
      {"ext4_metabg64", "ext2", "80M",
       "mkfs.ext4 -q -F -b 4096 -g 256 -O meta_bg,^resize_inode {img} 18000", ENOSPC},
      {"ext4_sparse2", "ext2", "120M",
       "mkfs.ext4 -q -F -b 4096 -g 4096 -O sparse_super2 {img} 30000", 0},
      {"ext4_bigalloc", "ext2", "64M",
       "mkfs.ext4 -q -F -b 4096 -O bigalloc -C 16384 -g 1024 -d {dir} {img} 16000", 0},
      {"ext4_bigalloc_1k", "ext2", "40M",
       "mkfs.ext4 -q -F -b 1024 -O bigalloc -C 4096 -g 2048 {img} 30000", 0},
      {"ext4_desc128", "ext2", "120M",
       "mkfs.ext4 -q -F -b 4096 -g 4096 -O 64bit -E desc_size=128 {img} 30000", 0},
      {"ext4_bigdev", "ext2", "300M", "mkfs.ext4 -q -F -b 4096 {img} 34000", 0},
      // Checksums seeded from a stored seed that no longer matches the UUID.
      {"ext4_csum_seed", "ext2", "40M",
       "mkfs.ext4 -q -F -b 4096 -g 4096 -O metadata_csum_seed -d {dir} {img} 8000 && "
       "tune2fs -U 0b1c2d3e-4f50-6172-8394-a5b6c7d8e9f0 {img}",
       0},
      // 4 KiB blocks and sectors, three AGs, the last one shorter, in a file larger than the file
      // system.
      {"xfs_v5", "xfs", "72m",
       FSBMP_MKFS_XFS "-b size=4096 -s size=4096 -d agsize=20m,size=56m {img}", ENOSYS},
      {"xfs_v5_1k", "xfs", "48m", FSBMP_MKFS_XFS "-b size=1024 -d agcount=2 {img}", ENOSYS},
      {"xfs_v4", "xfs", "40m", FSBMP_MKFS_XFS "-m crc=0 -b size=512 -d agsize=16m,size=32m {img}",
       ENOSYS},
      // Eight bitmap blocks, blocks used across several of them.
      {"reiserfs_4k", "reiserfs", "1G", "mkreiserfs -f -q -b 4096 {img} 262144", ENOSPC,
       [](const std::string& path) {
         reiserfs_test::markUsed(path,
                                 {40000, 100000, 150000, 150001, 150002, 150100, 200001, 262143});
       }},
      // The smallest block size mkreiserfs makes: 32 bitmaps, bitmap 0 at block 129.
      {"reiserfs_512", "reiserfs", "64M", "mkreiserfs -f -q -b 512 {img} 131072", ENOSPC,
       [](const std::string& path) {
         reiserfs_test::markUsed(path, {4100, 4101, 70000, 131071});
       }},
      // A file system in a file larger than itself.
      {"reiserfs_in_big_file", "reiserfs", "96M", "mkreiserfs -f -q -b 4096 {img} 16384", ENOSPC},
      // The defaults (DUP metadata, the free-space tree) populated by mkfs, in a file larger than
      // the file system; mixed block groups with 4 KiB nodes.
      {"btrfs_default", "btrfs", "160M", "mkfs.btrfs -q -f -b 128M -r {dir} {img}", 0},
      {"btrfs_mixed", "btrfs", "64M", "mkfs.btrfs -q -f -M -r {fragdir} {img}", 0},
  };
  return recipes;
}

const ImageRecipe& imageRecipe(const std::string& name) {
  for (const ImageRecipe& r : imageRecipes())
    if (name == r.name) return r;
  ADD_FAILURE() << "no image named " << name;
  return imageRecipes()[0];
}

std::vector<std::string> imageNames(const std::string& fs) {
  std::vector<std::string> names;
  for (const ImageRecipe& r : imageRecipes())
    if (fs.empty() || fs == r.fs) names.push_back(r.name);
  return names;
}

std::string makeImageFile(const ImageRecipe& recipe, const std::string& path,
                          const std::map<std::string, std::string>& more) {
  std::string command = replaceAll(recipe.command, "{img}", quoted(path));
  for (const auto& [name, value] : more) command = replaceAll(command, name, quoted(value));
  if (command.find("{dir}") != std::string::npos)
    command = replaceAll(command, "{dir}", quoted(contentDir()));
  if (command.find("{fragdir}") != std::string::npos) {
    command = replaceAll(command, "{fragdir}", quoted(fragmentedDir()));
    command = replaceAll(command, "{rmlist}", quoted(fragmentedDir() + ".rm"));
  }
  std::string out;
  if (run("rm -f " + quoted(path) + " && truncate -s " + recipe.size + " " + quoted(path) + " && " +
              command,
          &out, true) != 0)
    return command + ": " + out;
  if (recipe.edit) recipe.edit(path);
  return "";
}

std::unique_ptr<OracleImage> readOracle(const std::string& fs, const std::string& path) {
  const FsOracle& oracle = fsOracle(fs);
  std::unique_ptr<OracleImage> image = oracle.blank();
  image->path = path;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    image->failure = "can't stat " + path;
    return image;
  }
  image->devSize = st.st_size;
  oracle.read(image.get());
  if (image->failure.empty() &&
      (image->blockSize <= 0 || image->used.size() != static_cast<size_t>(image->blockCount)))
    image->failure = "the oracle of " + fs + " gave no geometry for " + path;
  return image;
}

const OracleImage& oracleImage(const std::string& name) {
  static std::map<std::string, std::unique_ptr<OracleImage>> made;
  std::unique_ptr<OracleImage>& slot = made[name];
  if (slot) return *slot;
  const ImageRecipe& recipe = imageRecipe(name);
  const std::string path = scratchPath(name + ".img");
  const std::string failure = makeImageFile(recipe, path);
  if (failure.empty()) {
    slot = readOracle(recipe.fs, path);
  } else {
    slot = fsOracle(recipe.fs).blank();
    slot->path = path;
    slot->failure = failure;
  }
  slot->name = name;
  return *slot;
}

std::string copyOf(const OracleImage& image, const std::string& name) {
  const std::string to = scratchPath(name);
  copyFile(image.path, to);
  return to;
}

std::vector<int> oracleChunkSizes(int blockSize) {
  std::vector<int> sizes;
  for (int size = blockSize; size > 0 && size <= (256 << 20); size *= 2) sizes.push_back(size);
  return sizes;
}

::testing::AssertionResult mapsAsOracle(const ChunkBitmap& got, const OracleImage& image,
                                        PastEnd pastEnd, int chunkSize, long long devSize) {
  const long long perChunk = chunkSize / image.blockSize;
  const long long whole = image.blockCount / perChunk;  // chunks wholly inside the file system
  const long long fsChunks = ceilDiv(image.blockCount, perChunk);
  const long long nChunks = std::max(fsChunks, ceilDiv(devSize, chunkSize));
  if (got.nChunks != nChunks)
    return ::testing::AssertionFailure()
           << "chunk size " << chunkSize << ": " << got.nChunks << " chunks, not " << nChunks;
  std::vector<bool> want = chunksFromBlocks(image.used, perChunk);
  want.resize(static_cast<size_t>(nChunks), pastEnd == PastEnd::kUsed);
  if (pastEnd == PastEnd::kUsed && whole < fsChunks) want[static_cast<size_t>(whole)] = true;
  ::testing::AssertionResult same =
      sameChunks(got, want, pastEnd == PastEnd::kAtLeast ? whole : nChunks);
  if (!same) return same << " (chunk size " << chunkSize << ")";
  if (pastEnd == PastEnd::kAtLeast && whole < fsChunks && want[static_cast<size_t>(whole)] &&
      !got.test(whole))
    return ::testing::AssertionFailure() << "chunk size " << chunkSize << ": chunk " << whole
                                         << " at the file system's end is free, the oracle uses it";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult mapsAsOracle(FsParser* parser, const OracleImage& image,
                                        PastEnd pastEnd) {
  for (int chunkSize : oracleChunkSizes(image.blockSize)) {
    ChunkBitmap got;
    CVoError err = getBitmap(parser, chunkSize, &got);
    if (err.code < 0)
      return ::testing::AssertionFailure() << "chunk size " << chunkSize << ": " << err.toString();
    ::testing::AssertionResult same = mapsAsOracle(got, image, pastEnd, chunkSize, image.devSize);
    if (!same) return same;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace fsbmp_test
