#include "xfs_images.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "common/testutil.h"

using namespace fsbmp_test;

namespace xfs_test {

namespace {

// The number xfs_db prints as "name = N" on a line of its own ("name = 0xN" read as hex).
long long field(const std::string& text, const std::string& name) {
  std::istringstream in(text);
  std::string line;
  const std::string prefix = name + " = ";
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0)
      return std::stoll(line.substr(prefix.size()), nullptr, 0);
  }
  ADD_FAILURE() << "xfs_db printed no " << name << " in:\n" << text;
  return 0;
}

// Unmounts and detaches on every way out.
struct LoopMount {
  std::string device;
  std::string dir;
  bool mounted = false;
  ~LoopMount() {
    if (mounted) run("umount '" + dir + "'");
    if (!device.empty()) run("losetup -d '" + device + "'");
  }
};

// Writes 1200 one-block files through a loop mount and deletes every other one, leaving
// hundreds of one-block free extents. Returns why it could not, or "".
std::string fragment(const std::string& path) {
  if (geteuid() != 0) return "loop mounts need root";
  if (!haveCommand("losetup") || !haveCommand("mount")) return "losetup or mount is missing";
  LoopMount m;
  std::string out;
  if (run("losetup -f --show '" + path + "'", &out, true) != 0)
    return "no loop device available: " + out;
  m.device = out.substr(0, out.find_first_of("\r\n"));
  m.dir = scratchPath("mnt");
  mkdir(m.dir.c_str(), 0700);
  if (run("mount -t xfs '" + m.device + "' '" + m.dir + "'", &out, true) != 0)
    return "couldn't mount XFS through a loop device: " + out;
  m.mounted = true;
  if (run("cd '" + m.dir +
              "' && i=0 && while [ $i -lt 1200 ]; do printf '%1024s' x > f$i || exit 1; "
              "i=$((i+1)); done && sync -f . && rm f*[13579]",
          &out, true) != 0) {
    ADD_FAILURE() << "couldn't populate the loop mount: " << out;
    return "populating failed";
  }
  m.mounted = false;
  if (run("umount '" + m.dir + "'", &out, true) != 0) {
    m.mounted = true;
    ADD_FAILURE() << "umount failed: " << out;
    return "umount failed";
  }
  return "";
}

Images makeImages() {
  const Image& v5 = static_cast<const Image&>(oracleImage("xfs_v5"));
  const Image& v4 = static_cast<const Image&>(oracleImage("xfs_v4"));
  const std::string small = scratchPath("v5small.img");
  const std::string failure = makeImageFile(imageRecipe("xfs_v5_1k"), small);
  EXPECT_EQ(failure, "");
  const std::string skip = fragment(small);
  static const Image v5Small = describe(small);
  return Images{v5, v5Small, v4, skip};
}

}  // namespace

uint64_t Image::agOffset(uint32_t ag) const {
  return static_cast<uint64_t>(ag) * agBlocks * blockSize;
}

std::vector<bool> Image::expectedChunks(long long chunkSize) const {
  const long long perChunk = chunkSize / blockSize;
  const long long fileBlocks = (devSize + blockSize - 1) / blockSize;
  // Blocks past the file system count as used, and so does the device's partial last chunk.
  std::vector<bool> blocks = used;
  blocks.resize(static_cast<size_t>(std::max(blockCount, fileBlocks)), true);
  blocks.resize((blocks.size() + perChunk - 1) / perChunk * perChunk, true);
  return chunksFromBlocks(blocks, perChunk);
}

Image describe(const std::string& path) {
  Image im;
  im.path = path;
  std::string sb = mustRun(
      "xfs_db -r -c 'sb 0' -c 'p blocksize sectsize agblocks agcount "
      "versionnum' '" +
      path + "'");
  im.blockSize = static_cast<int>(field(sb, "blocksize"));
  im.sectorSize = static_cast<int>(field(sb, "sectsize"));
  im.agBlocks = static_cast<uint32_t>(field(sb, "agblocks"));
  im.agCount = static_cast<uint32_t>(field(sb, "agcount"));
  im.version = static_cast<int>(field(sb, "versionnum") & 0xF);
  struct stat st;
  im.devSize = stat(path.c_str(), &st) == 0 ? st.st_size : 0;

  for (uint32_t a = 0; a < im.agCount; ++a) {
    AgTruth ag;
    const std::string agf = "-c 'agf " + std::to_string(a) + "' ";
    std::string head =
        mustRun("xfs_db -r " + agf + "-c 'p length freeblks bnoroot bnolevel cntroot cntlevel' '" +
                path + "'");
    ag.length = static_cast<uint32_t>(field(head, "length"));
    ag.freeBlocks = static_cast<uint32_t>(field(head, "freeblks"));
    ag.byBlockRoot = static_cast<uint32_t>(field(head, "bnoroot"));
    ag.byBlockLevels = static_cast<uint32_t>(field(head, "bnolevel"));
    ag.byCountRoot = static_cast<uint32_t>(field(head, "cntroot"));
    ag.byCountLevels = static_cast<uint32_t>(field(head, "cntlevel"));
    std::istringstream dump(
        mustRun("xfs_db -r " + agf + "-c 'addr bnoroot' -c btdump '" + path + "'"));
    std::string line;
    while (std::getline(dump, line)) {
      unsigned long long daddr = 0;
      unsigned index = 0, start = 0, count = 0;
      if (sscanf(line.c_str(), "bnobt level 0 block %u daddr %llu", &index, &daddr) == 2)
        ag.leafOffsets.push_back(daddr * 512);
      else if (sscanf(line.c_str(), "%u:[%u,%u]", &index, &start, &count) == 3)
        ag.freeExtents.emplace_back(start, count);
    }
    im.ags.push_back(ag);
  }
  for (const AgTruth& ag : im.ags) im.blockCount += ag.length;
  im.used.assign(static_cast<size_t>(im.blockCount), true);
  for (uint32_t a = 0; a < im.agCount; ++a) {
    for (const auto& e : im.ags[a].freeExtents) {
      const long long start = static_cast<long long>(a) * im.agBlocks + e.first;
      for (long long b = start; b < start + e.second && b < im.blockCount; ++b)
        im.used[static_cast<size_t>(b)] = false;
    }
  }
  return im;
}

void readXfsDb(OracleImage* image) {
  *static_cast<Image*>(image) = describe(image->path);
}

const Images& images() {
  static const Images im = makeImages();
  return im;
}

uint32_t treeBlockCRC(const std::vector<unsigned char>& block) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < block.size(); ++i) {
    crc ^= (i >= 52 && i < 56) ? 0 : block[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0x82F63B78 & (0 - (crc & 1)));
  }
  return ~crc;
}

void editBlock(const std::string& path, uint64_t offset, int size,
               const std::function<void(std::vector<unsigned char>&)>& edit, bool fixCRC) {
  std::vector<unsigned char> block = readAt(path, offset, static_cast<size_t>(size));
  ASSERT_EQ(block.size(), static_cast<size_t>(size));
  edit(block);
  if (fixCRC) putLE32(&block, 52, treeBlockCRC(block));
  patchFile(path, offset, block);
}

}  // namespace xfs_test
