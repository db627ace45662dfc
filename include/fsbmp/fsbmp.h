// fsbmp: which chunks of a block device hold file-system data.
//
//   CVoError err;
//   std::unique_ptr<FsParser> p(FsParser::init("/dev/sdb1", &err));
//   if (!p) { fprintf(stderr, "%s", err.toString().c_str()); ... }
//   void* bmp; long long nChunks;
//   err = p->getBmp(65536, &bmp, &nChunks);   // bit c set: chunk c holds used blocks
//   ...
//   free(bmp);
#ifndef FSBMP_FSBMP_H
#define FSBMP_FSBMP_H

#include <cerrno>
#include <cstdlib>
#include <string>

#include "fsbmp/export.h"
#include "fsbmp/services.h"

// The parser base: device, geometry, raw block reads and the probing factory.
class FSBMP_API FsParser {
 public:
  // File-system kinds stored in fsType.
  enum { kExt2 = 0, kReiserFS = 1, kXFS = 2, kVxFS = 3 };

  explicit FsParser(const std::string& dev);
  virtual ~FsParser();
  FsParser(const FsParser&) = delete;
  FsParser& operator=(const FsParser&) = delete;

  // Builds a bitmap of one bit per chunkSize bytes of the device, least significant bit first;
  // a set bit means the chunk holds at least one used block. On success *bmp is a malloc'ed
  // buffer that the caller frees with free() and *bmpSize the number of chunks (not bytes).
  virtual CVoError getBmp(int chunkSize, void** bmp, long long* bmpSize) = 0;

  // Measures the device: devSize becomes its length in bytes.
  CVoError init();
  // Reads `count` blocks of `blockSize` bytes starting at block `block` into `buf`.
  CVoError readBlocks(void* buf, int blockSize, long long block, int count);
  // n for v = 2^n (n >= 1); 0 for v < 2; -1 for any other v.
  static int log2(long long v);
  // Tries VxFS, ext2/3/4, ReiserFS and XFS in that order and returns the first parser that
  // recognises `dev`, or null with the last attempt's error in *err (err must not be null).
  static FsParser* init(const std::string& dev, CVoError* err);

  int fsType;
  int blockSize;
  long long blockCount;
  long long devSize;
  long long fsSize;
  std::string devPath;
  CVoFile devFile;
  PdDebug debug;
  unsigned char onesInByte[256];
  unsigned char zerosInByte[256];
};

// Owns a chunk bitmap while getBmp builds it; frees it unless released to the caller.
class FsParserAutoChunkBmp {
 public:
  FsParserAutoChunkBmp() : bitmap(nullptr) {}
  ~FsParserAutoChunkBmp() { free(bitmap); }
  FsParserAutoChunkBmp(const FsParserAutoChunkBmp&) = delete;
  FsParserAutoChunkBmp& operator=(const FsParserAutoChunkBmp&) = delete;

  CVoError init(size_t bytes) {
    free(bitmap);
    bitmap = static_cast<unsigned char*>(calloc(bytes, 1));
    if (!bitmap) return JxErrorUtil::ErrorErrNo(JX_LOCATION("fsbmp.h"), ENOMEM);
    return CVoError();
  }
  unsigned char* release() {
    unsigned char* b = bitmap;
    bitmap = nullptr;
    return b;
  }

  unsigned char* bitmap;
};

#endif
