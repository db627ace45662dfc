// A chunk bitmap from the library together with the geometry it describes, and the byte runs of
// used space it stands for.
#ifndef FSBMP_TOOLS_USAGE_MAP_H
#define FSBMP_TOOLS_USAGE_MAP_H

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "fsbmp/fsbmp.h"
#include "fsbmp/fsbmpDisk.h"

namespace fsbmp_tool {

// What a command reads: the file system on a device or, when the device holds a partition
// table, the whole disk, and the geometry the commands print.
struct Source {
  std::unique_ptr<FsParser> parser;  // a file system,
  std::unique_ptr<FsDisk> disk;      // or a whole disk
  std::string devPath;
  long long devSize = 0;
  long long fsSize = 0;      // a disk: its size
  int blockSize = 0;         // a disk: 512, what its chunk sizes are multiples of
  long long blockCount = 0;  // a disk: its 512-byte sectors
  int partition = -1;        // a disk's partition taken as the device (--partition), or -1
  long long offset = 0;      // where that partition starts on the disk
};

struct UsageMap {
  std::unique_ptr<unsigned char, void (*)(void*)> bits{nullptr, free};
  long long nChunks = 0;
  long long chunkSize = 0;
  long long devSize = 0;  // bytes that exist on the device
  long long fsSize = 0;

  bool used(long long c) const { return (bits.get()[c >> 3] >> (c & 7)) & 1; }
  size_t bytes() const { return static_cast<size_t>((nChunks + 7) / 8); }
  long long usedChunks() const;
  // Calls `fn(offset, length)` for each maximal run of used chunks, in bytes, clipped to the
  // device's end. A run that starts at or past the end is passed unclipped (length > 0, offset
  // >= devSize) so that a copy can tell that used space lies beyond the device.
  void forEachUsedRun(const std::function<void(long long, long long)>& fn) const;
  // Used bytes as the runs count them (clipped to the device).
  long long usedBytes() const;
};

// Asks the parser (or the disk) for the bitmap at `chunkSize`. 0 on success; otherwise, after
// printing the library's messages (with `verbose`, its whole error stack), 2 for a chunk size
// the file system or disk cannot take and 1 for any other failure.
int buildUsageMap(Source* source, long long chunkSize, UsageMap* map, bool verbose);

// Replaces the bitmap with the contents of a raw bitmap file written by `fsbmp bitmap` for the
// same device and chunk size; refuses a file of the wrong length.
bool loadRawBitmap(const std::string& path, UsageMap* map);

}  // namespace fsbmp_tool

#endif
