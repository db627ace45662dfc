// Probes a device and prints a summary of its used-space bitmap.
//   bitmap_summary DEVICE [CHUNK_BYTES]
#include <fsbmp/fsbmp.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: %s DEVICE [CHUNK_BYTES]\n", argv[0]);
    return 2;
  }
  const int chunkSize = argc == 3 ? atoi(argv[2]) : 1 << 20;

  CVoError err;
  std::unique_ptr<FsParser> parser(FsParser::init(argv[1], &err));
  if (!parser) {
    fprintf(stderr, "%s", err.toString().c_str());
    return 1;
  }
  static const char* const kNames[] = {"ext2/3/4", "ReiserFS", "XFS", "VxFS"};
  printf("%s: %s, %lld blocks of %d bytes, device %lld bytes\n", argv[1], kNames[parser->fsType],
         parser->blockCount, parser->blockSize, parser->devSize);

  void* bitmap = nullptr;
  long long chunks = 0;
  err = parser->getBmp(chunkSize, &bitmap, &chunks);
  if (err.code < 0) {
    fprintf(stderr, "%s", err.toString().c_str());
    return 1;
  }
  const unsigned char* bits = static_cast<const unsigned char*>(bitmap);
  long long used = 0;
  for (long long c = 0; c < chunks; ++c) used += (bits[c / 8] >> (c % 8)) & 1;
  free(bitmap);
  printf("%lld of %lld chunks of %d bytes used (%lld bytes)\n", used, chunks, chunkSize,
         used * chunkSize);
  return 0;
}
