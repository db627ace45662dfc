// VxFS. The parser reads the device only to find the superblock magic at byte 8192; everything
// else it asks of fsdb, the VxFS file-system debugger, which runs as a child process with a
// pseudo-terminal as its standard input and output and a pipe as its standard error. fsdb prints
// the superblock, the structural fileset's inodes and where their data lies; blocks come back as
// hexadecimal dumps. The allocation-unit states (IFEAU) and the per-group block maps (IFEMP)
// give the used blocks.
#include "fsbmp/fsbmpVxFS.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/block_size.h"
#include "core/chunks.h"
#include "core/device.h"
#include "core/device_view.h"
#include "core/location.h"
#include "vxfs/fsbmpVxFSImpl.h"
#include "vxfs/fsbmpVxFSLayout.h"
#include "vxfs/fsbmpVxFSProcess.h"
#include "vxfs/fsbmpVxFSText.h"

static const char kFile[] = "fsbmpVxFS";
#define HERE JX_LOCATION(kFile)

using namespace fsbmp::vxfs;

namespace {

// Largest file system whose bitmap still fits 2^32 - 1 chunks at the largest chunk size (2^30).
const long long kMaxFsBytes = static_cast<long long>(UINT32_MAX) << 30;

// Pieces of the answer text as numbers.
long long deviceBlock(const std::string& exSt, const std::string& offset, int blockSize) {
  const long long start = leadingDigits(exSt);
  const long long within = leadingDigits(offset) / blockSize;
  return start > LLONG_MAX - within ? LLONG_MAX : start + within;
}

}  // namespace

FsParserVxFS::FsParserVxFS(const std::string& dev, CVoError* err)
    : FsParserVxFS(nullptr, dev, err) {}

FsParserVxFS::FsParserVxFS(std::shared_ptr<fsbmp::DeviceView> given, const std::string& dev,
                           CVoError* err)
    : FsParser(dev, std::move(given)),
      fsdbFd(-1),
      fsdbErrFd(-1),
      ifeauIno(-1),
      ifempIno(-1),
      auBlocks(kDefaultAuBlocks),
      auCnt(0),
      auFree(nullptr),
      impl_(new Impl()) {
  fsType = kVxFS;
  *err = init(devPath);
}

FsParserVxFS::~FsParserVxFS() {
  if (fsdbFd >= 0) close(fsdbFd);
  if (fsdbErrFd >= 0) close(fsdbErrFd);
  free(auFree);
}

CVoError FsParserVxFS::init(const std::string& dev) {
  // The magic, from the device's own bytes: the second 8 KiB begin with the superblock. Only
  // bytes that were read count, so a device too short to hold the magic has none.
  if (!view->isWholeFile()) {
    // fsdb opens what it reads by path: VxFS inside a partition or a volume is out of its reach.
    unsigned char magic[sizeof kMagic];
    uint32_t got = 0;
    CVoError err = view->readAt(kSuperblockOffset, magic, sizeof magic, &got);
    if (err.code < 0) return err.Push(HERE, "Couldn't read SB from %s", dev.c_str());
    if (got == sizeof magic && memcmp(magic, kMagic, sizeof magic) == 0) {
      return JxErrorUtil::ErrorErrNo(
          HERE, ENOSYS, "%s holds VxFS, which fsdb can read only as a whole device or image",
          dev.c_str());
    }
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s doesn't have VxFS SB magic", dev.c_str());
  }
  {
    MbBuffer sb(kSuperblockOffset);
    CVoFile file;
    CVoError err = file.Open(dev.c_str(), fsbmp::kDeviceOpenFlags, fsbmp::kDeviceOpenMode);
    if (err.code < 0) return err.Push(HERE, "Couldn't open %s for reading", dev.c_str());
    uint32_t first = 0;
    uint32_t second = 0;
    err = file.Read(sb.data, kSuperblockOffset, &first);
    if (err.code >= 0) err = file.Read(sb.data, kSuperblockOffset, &second);
    if (err.code < 0) return err.Push(HERE, "Couldn't read SB from %s", dev.c_str());
    file.Close();
    const bool haveBytes = first == static_cast<uint32_t>(kSuperblockOffset) && second >= 4;
    if (!haveBytes || sb.data[0] != kMagic[0] || sb.data[1] != kMagic[1] ||
        sb.data[2] != kMagic[2] || sb.data[3] != kMagic[3]) {
      return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s doesn't have VxFS SB magic", dev.c_str());
    }
  }

  static const char kTag[] = "FsParserVxFS::init";
  debug.Debug(kTag, "Detected VxFS on %s", dev.c_str());

  fsbmp::vxfs::FsdbChannels fsdb;
  CVoError err = fsbmp::vxfs::startFsdb(HERE, dev, &fsdb);
  fsdbFd = fsdb.terminal;
  fsdbErrFd = fsdb.errors;
  impl_->fsdbMaxFd = fsdbFd > fsdbErrFd ? fsdbFd : fsdbErrFd;
  if (err.code < 0) return err;
  std::string answer;
  err = talkToFSDB("", &answer);
  if (err.code < 0) return err.Push(HERE, "Can't communicate with VxFS fsdb");

  // Superblock.
  err = talkToFSDB("8192B.p S\n", &answer);
  if (err.code < 0) return err.Push(HERE, "Couldn't get SB information from VxFS fsdb");
  const std::string magic = findToken(answer.c_str(), "magic");
  if (magic.empty())
    return JxErrorUtil::ErrorInt(HERE, 1, "Couldn't find SB magic in %s", dev.c_str());
  if (magic != kMagicText)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s has invalid SB magic %s", dev.c_str(),
                                   magic.c_str());
  const std::string version = findToken(answer.c_str(), "version");
  if (version.empty())
    return JxErrorUtil::ErrorInt(HERE, 1, "Couldn't find VxFS version in SB of %s", dev.c_str());
  if (toInt(version) <= 3)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s has unsupported VxFS version %s", dev.c_str(),
                                   version.c_str());
  const std::string bsize = findToken(answer.c_str(), "bsize");
  if (bsize.empty())
    return JxErrorUtil::ErrorInt(HERE, 1, "Couldn't find block size in SB of %s", dev.c_str());
  blockSize = toInt(bsize);
  if (!fsbmp::isUsableBlockSize(blockSize))
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s has unusable VxFS block size %s", dev.c_str(),
                                   bsize.c_str());
  const std::string size = findToken(answer.c_str(), "size");
  if (size.empty())
    return JxErrorUtil::ErrorInt(HERE, 1, "Couldn't find block count in SB of %s", dev.c_str());
  blockCount = leadingDigits(size);
  if (blockCount < 1 || blockCount > kMaxFsBytes / blockSize)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s has unusable VxFS block count %s", dev.c_str(),
                                   size.c_str());
  fsSize = static_cast<long long>(blockSize) * blockCount;
  const std::string aublocks = findToken(answer.c_str(), "aublocks");
  if (!aublocks.empty()) {
    auBlocks = toInt(aublocks);
    if (auBlocks < kGroupBlocks || auBlocks % kGroupBlocks != 0)
      return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s has unusable VxFS allocation-unit size %s",
                                     dev.c_str(), aublocks.c_str());
  }
  const long long units = (blockCount - 1) / auBlocks + 1;
  if (units > INT_MAX)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s has too many VxFS allocation units (%lld)",
                                   dev.c_str(), units);
  auCnt = static_cast<int>(units);

  // Structural fileset: find the IFEAU and IFEMP inodes.
  err = talkToFSDB("1fset\n", &answer);
  if (err.code < 0)
    return err.Push(HERE, "Couldn't select STRUCTURAL VxFS fileset of %s", dev.c_str());
  std::string ninode = findToken(answer.c_str(), "fsf_ninode");
  if (ninode.empty()) ninode = "128";
  const int inodes = toInt(ninode);
  for (int i = 0; i < inodes; ++i) {
    if (ifeauIno >= 0 && ifempIno >= 0) break;
    char cmd[32];
    snprintf(cmd, sizeof cmd, "%di\n", i);
    err = talkToFSDB(cmd, &answer);
    if (err.code < 0)
      return err.Push(HERE, "Couldn't query inode %d of STRUCTURAL VxFS fileset of %s", i,
                      dev.c_str());
    const std::string type = findToken(answer.c_str(), "type");
    if (type == "IFEAU") {
      ifeauIno = i;
    } else if (type == "IFEMP") {
      ifempIno = i;
    }
  }
  if (ifeauIno < 0)
    return JxErrorUtil::ErrorInt(
        HERE, 1, "Couldn't find IFEAU inode in the STRUCTURAL VxFS fileset of %s", dev.c_str());
  if (ifempIno < 0)
    return JxErrorUtil::ErrorInt(
        HERE, 1, "Couldn't find IFEMP inode in the STRUCTURAL VxFS fileset of %s", dev.c_str());

  // Allocation-unit states: two bits per unit, the first set when the unit is wholly free.
  auFree = static_cast<unsigned char*>(calloc(static_cast<size_t>(auCnt), 1));
  if (!auFree)
    return JxErrorUtil::ErrorErrNo(HERE, ENOMEM,
                                   "Couldn't allocate the table of %d VxFS allocation units of %s",
                                   auCnt, dev.c_str());
  MbBuffer block(blockSize);
  int a = 0;
  const int unitsPerBlock = 4 * blockSize;
  for (int j = 0; j <= (auCnt - 1) / unitsPerBlock; ++j) {
    char cmd[64];
    snprintf(cmd, sizeof cmd, "%di.mapi%lld\n", ifeauIno, static_cast<long long>(j) * blockSize);
    err = talkToFSDB(cmd, &answer);
    if (err.code < 0) return err.Push(HERE, "Couldn't get IFEAU's location on %s", dev.c_str());
    const std::string exSt = findToken(answer.c_str(), "ex_st");
    const std::string offset = findToken(answer.c_str(), "offset");
    if (exSt.empty() || offset.empty())
      return JxErrorUtil::ErrorInt(HERE, 1, "Couldn't get IFEAU's location");
    const long long where = deviceBlock(exSt, offset, blockSize);
    err = readBlock(where, block.data);
    if (err.code < 0) return err.Push(HERE, "Couldn't read IFEAU's block %lld", where);
    unsigned mask = 0x80;
    for (int pos = 0; a < auCnt && pos < blockSize; ++a) {
      auFree[a] = (block.data[pos] & mask) ? 1 : 0;
      mask >>= 2;
      if (mask == 0) {
        ++pos;
        mask = 0x80;
      }
    }
  }

  std::string summary;
  summary.reserve(static_cast<size_t>(auCnt) * 2);
  for (int u = 0; u < auCnt; ++u) summary += auFree[u] ? "1 " : "0 ";

  debug.Debug(kTag, "   magic=%s", magic.c_str());
  debug.Debug(kTag, "   version=%s", version.c_str());
  debug.Debug(kTag, "   block_size=%d", blockSize);
  debug.Debug(kTag, "   block_cnt=%lld (%lldMB)", blockCount, fsSize >> 20);
  debug.Debug(kTag, "   aublocks=%d", auBlocks);
  debug.Debug(kTag, "   au_cnt=%d", auCnt);
  debug.Debug(kTag, "   au_free=[%s]", summary.c_str());
  debug.Debug(kTag, "   IFEAU=%di", ifeauIno);
  debug.Debug(kTag, "   IFEMP=%di", ifempIno);
  return FsParser::init();
}

CVoError FsParserVxFS::getBmp(int chunkSize, void** bmp, long long* bmpSize) {
  return buildBitmap(HERE, {/*resetOutputs=*/false, /*count32=*/true}, chunkSize, bmp, bmpSize);
}

uint64_t FsParserVxFS::bitmapBytes(const ChunkLayout& layout) const {
  // Room also for the chunks of the last group's blocks past the end of the file system.
  const uint64_t nGroups = static_cast<uint64_t>(blockCount - 1) / kGroupBlocks + 1;
  const uint64_t byGroups =
      ((nGroups * kGroupBlocks - 1) / static_cast<uint64_t>(layout.blocksPerChunk)) / 8 + 1;
  const uint64_t byChunks = FsParser::bitmapBytes(layout);
  return byChunks > byGroups ? byChunks : byGroups;
}

CVoError FsParserVxFS::walkBitmap(const JxCodeLocation& where, const ChunkLayout& layout,
                                  unsigned char* bitmap) {
  const int blocksPerChunk = static_cast<int>(layout.blocksPerChunk);
  const int shift = layout.chunkShift;
  const long long nGroups = (blockCount - 1) / kGroupBlocks + 1;

  char cmd[64];
  snprintf(cmd, sizeof cmd, "1fset.%di\n", ifempIno);
  std::string answer;
  CVoError err = talkToFSDB(cmd, &answer);
  if (err.code < 0)
    return err.Push(FSBMP_AT(where), "Couldn't open IFEMP file with inode %d", ifempIno);

  const int groupsPerUnit = auBlocks / kGroupBlocks;
  const int recordsPerBlock = blockSize / kMapRecordBytes;
  MbBuffer held(blockSize);
  long long heldBlock = -1;
  long long unit = -1;
  for (long long g = 0; g < nGroups;) {
    if (g % groupsPerUnit == 0) ++unit;
    if (unit < auCnt && auFree[unit]) {
      g += groupsPerUnit;
      continue;
    }
    const long long fileBlock = g / recordsPerBlock;
    if (fileBlock != heldBlock) {
      snprintf(cmd, sizeof cmd, "mapi%lld\n", g * kMapRecordBytes);
      err = talkToFSDB(cmd, &answer);
      if (err.code < 0)
        return err.Push(FSBMP_AT(where), "Couldn't read bitmap %lld from IFEMP file", g);
      const std::string exSt = findToken(answer.c_str(), "ex_st");
      const std::string offset = findToken(answer.c_str(), "offset");
      if (exSt.empty() || offset.empty())
        return JxErrorUtil::ErrorInt(FSBMP_AT(where), 1, "Couldn't get bitmap %lld's location", g);
      const long long mapBlock = deviceBlock(exSt, offset, blockSize);
      err = readBlock(mapBlock, held.data);
      if (err.code < 0)
        return err.Push(FSBMP_AT(where), "Couldn't read bitmap %lld from block %lld", g, mapBlock);
      heldBlock = fileBlock;
    }
    const unsigned char* map = held.data + (g % recordsPerBlock) * kMapRecordBytes;

    if (blocksPerChunk < 8) {
      // Fields of blocksPerChunk bits, most significant first; a field not all ones (free) is a
      // chunk with a used block.
      const unsigned fieldMask = (1u << blocksPerChunk) - 1;
      uint64_t c = static_cast<uint64_t>(g) * kGroupBlocks / blocksPerChunk;
      for (int i = 0; i < kMapBytes; ++i) {
        for (int bit = 8 - blocksPerChunk; bit >= 0; bit -= blocksPerChunk, ++c) {
          if (((map[i] >> bit) & fieldMask) != fieldMask) fsbmp::markChunk(bitmap, c);
        }
      }
    } else {
      const int run = blocksPerChunk >= kGroupBlocks ? kMapBytes : blocksPerChunk / 8;
      for (int first = 0; first < kMapBytes; first += run) {
        for (int i = first; i < first + run; ++i) {
          if (map[i] != 0xFF) {
            const uint64_t b = static_cast<uint64_t>(g) * kGroupBlocks + 8u * first;
            fsbmp::markChunk(bitmap, b >> shift);
            break;
          }
        }
      }
    }
    ++g;
  }
  return CVoError();
}
