#include "promises.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "fsbmp/fsbmp.h"

namespace fsbmp_fuzz {

void check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "fsbmp fuzz: broken promise: %s\n", what);
    abort();
  }
}

void probeAndWalk(const std::string& device, int extraChunkSize) {
  static const bool verbose = getenv("FSBMP_FUZZ_VERBOSE") != nullptr;
  CVoError err;
  std::unique_ptr<FsParser> p(FsParser::init(device, &err));
  if (!p) {
    check(err.code < 0 && !err.toString().empty(), "a refusal carries an error");
    if (verbose) fprintf(stderr, "refused: %s\n", err.message().c_str());
    return;
  }
  // The last walk reads the files too, where the file system can (ext2/3/4, XFS).
  const int sizes[4] = {p->blockSize, 65536, extraChunkSize, 65536};
  for (int i = 0; i < 4; ++i) {
    const int chunkSize = sizes[i];
    if (i == 3 && p->setVerify(true).code < 0) break;
    void* bmp = nullptr;
    long long nChunks = -1;
    err = p->getBmp(chunkSize, &bmp, &nChunks);
    if (verbose)
      fprintf(stderr, "type %d chunk %d: %s\n", p->fsType, chunkSize,
              err.code < 0 ? err.message().c_str() : std::to_string(nChunks).c_str());
    if (err.code < 0) {
      check(!err.toString().empty(), "a failed walk says why");
      continue;
    }
    check(bmp != nullptr && nChunks > 0, "a bitmap comes back");
    // Every byte of the device lies in some chunk of the bitmap.
    check(nChunks >= (p->devSize + chunkSize - 1) / chunkSize, "the bitmap covers the device");
    volatile unsigned char last = static_cast<unsigned char*>(bmp)[(nChunks - 1) / 8];
    (void)last;
    free(bmp);
  }
}

}  // namespace fsbmp_fuzz
