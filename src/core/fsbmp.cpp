// The parser base: device access, geometry, bit-count tables and the probing factory.
#include "fsbmp/fsbmp.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <utility>

#include "core/chunks.h"
#include "core/device.h"
#include "core/device_view.h"
#include "core/location.h"
#include "core/registry.h"
#include "disk/disk_table.h"

static const char kFile[] = "fsbmp";
#define HERE JX_LOCATION(kFile)

FsParser::FsParser(const std::string& dev) : FsParser(dev, nullptr) {}

FsParser::FsParser(const std::string& dev, std::shared_ptr<fsbmp::DeviceView> given)
    : blockSize(-1),
      blockCount(-1),
      devSize(-1),
      fsSize(-1),
      devPath(dev),
      debug(nullptr),
      view(given ? std::move(given) : std::make_shared<fsbmp::FileView>(&devFile)),
      onDisk(view) {
  for (int v = 0; v < 256; ++v) {
    int ones = 0;
    for (int bit = 0; bit < 8; ++bit) ones += (v >> bit) & 1;
    onesInByte[v] = static_cast<unsigned char>(ones);
    zerosInByte[v] = static_cast<unsigned char>(8 - ones);
  }
}

FsParser::~FsParser() {}

CVoError FsParser::openDevice(const JxCodeLocation& where, const std::string& dev) {
  if (!view->isWholeFile()) return CVoError();
  CVoError err = devFile.Open(dev.c_str(), fsbmp::kDeviceOpenFlags, fsbmp::kDeviceOpenMode);
  if (err.code < 0) return err.Push(where, "Couldn't open %s for reading", dev.c_str());
  return CVoError();
}

CVoError FsParser::init() {
  if (!view->isWholeFile()) {
    int64_t length = 0;
    CVoError err = view->length(&length);
    devSize = length;
    return err;
  }
  CVoFile file;
  CVoError err = file.Open(devPath.c_str(), fsbmp::kDeviceOpenFlags, fsbmp::kDeviceOpenMode);
  if (err.code < 0) return err.Push(HERE, "Couldn't open %s for reading", devPath.c_str());
  int64_t end = 0;
  err = file.Seek(0, SEEK_END, &end);
  devSize = end;
  return err;
}

CVoError FsParser::readBlocks(void* buf, int blockBytes, long long block, int count) {
  return fsbmp::readViewBlocks(HERE, view.get(), buf, blockBytes, block, count);
}

CVoError FsParser::setJournalDevice(const std::string& path) {
  return JxErrorUtil::ErrorErrNo(HERE, EINVAL,
                                 "%s keeps no journal on another device (%s given as one)",
                                 devPath.c_str(), path.c_str());
}

CVoError FsParser::addMember(const std::string& path) {
  return JxErrorUtil::ErrorErrNo(HERE, EINVAL,
                                 "%s keeps nothing on other devices (%s given as one of them)",
                                 devPath.c_str(), path.c_str());
}

CVoError FsParser::setVerify(bool on) {
  if (!on) return CVoError();
  return JxErrorUtil::ErrorErrNo(HERE, EINVAL,
                                 "%s is %s, whose maps can't be verified by scanning its files",
                                 devPath.c_str(), typeName(fsType));
}

FsParser::VerifyReport FsParser::verifyReport() const {
  return VerifyReport();
}

void FsParser::willReadBlocks(int blockBytes, long long block, long long count) {
  if (blockBytes <= 0 || block < 0 || count <= 0 || block > INT64_MAX / blockBytes ||
      count > (INT64_MAX - block * blockBytes) / blockBytes)
    return;
  view->willNeed(static_cast<int64_t>(block) * blockBytes,
                 static_cast<int64_t>(count) * blockBytes);
}

bool FsParser::blocksCached(int blockBytes, long long block) {
  if (blockBytes <= 0 || block < 0 || block > INT64_MAX / blockBytes) return false;
  return view->cached(static_cast<int64_t>(block) * blockBytes);
}

int FsParser::log2(long long v) {
  if (v <= 1) return 0;
  if (v & 1) return -1;
  int n = 0;
  while (!(v & 1)) {
    v >>= 1;
    ++n;
  }
  return v == 1 ? n : -1;
}

CVoError FsParser::walkReplayed(const JxCodeLocation& where,
                                const std::function<CVoError()>& walk) {
  if (replayError.code < 0) {
    CVoError err = replayError;
    return err.Push(FSBMP_AT(where), "Couldn't map %s as replaying its journal would leave it",
                    devPath.c_str());
  }
  CVoError err = walk();
  if (err.code < 0) return err;
  if (alsoReplayed) {
    std::shared_ptr<fsbmp::DeviceView> replayed = view;
    view = alsoReplayed;
    err = walk();
    view = replayed;
    if (err.code < 0) return err;
  }
  if (view == onDisk) return CVoError();
  // The device's own maps of a crash-consistent snapshot need not agree with one another, so
  // this pass only adds what it can read, and its failures are not errors.
  std::shared_ptr<fsbmp::DeviceView> replayed = view;
  view = onDisk;
  walk();
  view = replayed;
  return CVoError();
}

uint64_t FsParser::bitmapBytes(const ChunkLayout& layout) const {
  return (layout.nChunks + 7) / 8;
}

CVoError FsParser::buildBitmap(const JxCodeLocation& where, const BitmapRules& rules, int chunkSize,
                               void** bmp, long long* bmpSize) {
  if (rules.resetOutputs) {
    *bmp = nullptr;
    *bmpSize = 0;
  }
  CVoError err = fsbmp::checkChunkSize(where, chunkSize, blockSize);
  if (err.code < 0) return err;

  ChunkLayout layout;
  layout.chunkSize = chunkSize;
  layout.blocksPerChunk = chunkSize / blockSize;
  layout.chunkShift = log2(layout.blocksPerChunk);
  layout.nChunks = fsbmp::chunkCount(blockCount, layout.blocksPerChunk, devSize, chunkSize);
  err = fsbmp::checkChunkCount(where, layout.nChunks, chunkSize,
                               rules.count32 ? UINT32_MAX : fsbmp::kMaxChunks);
  if (err.code < 0) return err;

  const uint64_t bytes = bitmapBytes(layout);
  FsParserAutoChunkBmp holder;
  err = holder.init(static_cast<size_t>(bytes));
  if (err.code < 0)
    return err.Push(where, "Couldn't allocate %lld-byte bitmap", static_cast<long long>(bytes));

  err = walkBitmap(where, layout, holder.bitmap);
  if (err.code < 0) return err;

  *bmpSize = static_cast<long long>(layout.nChunks);
  *bmp = holder.release();
  return CVoError();
}

FsParser* fsbmp::probeView(const std::shared_ptr<DeviceView>& view, const std::string& dev,
                           CVoError* err, std::vector<FsParser::Refusal>* refusals) {
  size_t count = 0;
  const FileSystemType* types = fileSystemTypes(&count);
  for (size_t i = 0; i < count; ++i) {
    std::unique_ptr<FsParser> p(types[i].onView(view, dev, err));
    if (err->code >= 0) return p.release();
    if (refusals) refusals->push_back({types[i].kind, *err});
  }
  return nullptr;
}

FsParser* FsParser::init(const std::string& dev, CVoError* err) {
  return init(dev, err, nullptr);
}

FsParser* FsParser::init(const std::string& dev, CVoError* err, std::vector<Refusal>* refusals) {
  // A disk is not a file system, even where an old superblock survives before its first partition.
  return fsbmp::probeWholeDevice(dev, err, refusals);
}

const char* FsParser::typeName(int fsType) {
  const fsbmp::FileSystemType* type = fsbmp::fileSystemType(fsType);
  return type ? type->name : "unknown";
}

std::string FsParser::journalState() {
  return std::string();
}

std::vector<FsParser::Property> FsParser::properties() {
  return std::vector<Property>();
}
