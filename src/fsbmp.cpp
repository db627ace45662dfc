// The parser base: device access, geometry, bit-count tables and the probing factory.
#include "fsbmp/fsbmp.h"

#include <cerrno>
#include <memory>

#include "device.h"
#include "fsbmp/fsbmpExt2.h"
#include "fsbmp/fsbmpReiserFS.h"
#include "fsbmp/fsbmpVxFS.h"
#include "fsbmp/fsbmpXFS.h"

static const char kFile[] = "fsbmp";
#define HERE JX_LOCATION(kFile)

FsParser::FsParser(const std::string& dev)
    : blockSize(-1), blockCount(-1), devSize(-1), fsSize(-1), devPath(dev), debug(nullptr) {
  for (int v = 0; v < 256; ++v) {
    int ones = 0;
    for (int bit = 0; bit < 8; ++bit) ones += (v >> bit) & 1;
    onesInByte[v] = static_cast<unsigned char>(ones);
    zerosInByte[v] = static_cast<unsigned char>(8 - ones);
  }
}

FsParser::~FsParser() {}

CVoError FsParser::init() {
  CVoFile file;
  CVoError err = file.Open(devPath.c_str(), fsbmp::kDeviceOpenFlags, fsbmp::kDeviceOpenMode);
  if (err.code < 0) return err.Push(HERE, "Couldn't open %s for reading", devPath.c_str());
  int64_t end = 0;
  err = file.Seek(0, SEEK_END, &end);
  devSize = end;
  return err;
}

CVoError FsParser::readBlocks(void* buf, int blockSize, long long block, int count) {
  // One positioned read: a walk over thousands of bitmap blocks issues one request each.
  uint32_t want = static_cast<uint32_t>(blockSize) * static_cast<uint32_t>(count);
  uint32_t got = 0;
  CVoError err = devFile.ReadAt(static_cast<int64_t>(block) * blockSize, buf, want, &got);
  if (err.code < 0) {
    return err.Push(HERE, "Couldn't read blocks %lld-%lld of size %d", block, block + count - 1,
                    blockSize);
  }
  if (got == want) return CVoError();
  return JxErrorUtil::ErrorErrNo(HERE, ENOSPC, "EOF while reading blocks %lld-%lld of size %d",
                                 block, block + count - 1, blockSize);
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

namespace {

// Constructs one candidate; keeps it when its probe accepted the device.
template <class Parser>
FsParser* tryParser(const std::string& dev, CVoError* err) {
  std::unique_ptr<FsParser> p(new Parser(dev, err));
  if (err->code >= 0) return p.release();
  return nullptr;
}

}  // namespace

FsParser* FsParser::init(const std::string& dev, CVoError* err) {
  if (FsParser* p = tryParser<FsParserVxFS>(dev, err)) return p;
  if (FsParser* p = tryParser<FsParserExt2>(dev, err)) return p;
  if (FsParser* p = tryParser<FsParserReiserFS>(dev, err)) return p;
  if (FsParser* p = tryParser<FsParserXFS>(dev, err)) return p;
  return nullptr;
}
