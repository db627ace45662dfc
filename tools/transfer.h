// Moves the used runs of a usage map from a source descriptor to the same offsets of a target
// descriptor, reading ahead of the writes: a reader thread fills a few large buffers that the
// calling thread writes out, so that the device is read while the target is written. Memory
// stays bounded by the buffers, whatever the size of the device.
#ifndef FSBMP_TOOLS_TRANSFER_H
#define FSBMP_TOOLS_TRANSFER_H

#include <csignal>
#include <functional>
#include <string>

#include "usage_map.h"

namespace fsbmp_tool {

struct TransferEnds {
  int source = -1;
  int target = -1;
  // With direct I/O: descriptors on the same files opened with O_DIRECT, and the alignment
  // (a power of two, at least 512) their offsets, lengths and buffers need. Pieces of a run
  // that are not whole aligned blocks (the ends of runs at small chunk sizes, a device tail)
  // go through `source` and `target`.
  int sourceDirect = -1;
  int targetDirect = -1;
  long long alignment = 4096;
  // Where the copied device starts on `source` (a partition of a disk): the map's offsets are
  // the device's, the source is read that much further on; a multiple of `alignment`.
  long long sourceOffset = 0;
  std::string sourceName;  // for messages
  std::string targetName;
};

struct TransferResult {
  long long done = 0;   // used bytes written
  long long runs = 0;   // runs of used chunks on the device
  std::string failure;  // empty, or what went wrong: "couldn't read|write NAME at byte N: why"
  bool interrupted = false;
};

// Writes every used run of `map` that lies on the device (runs are clipped to map.devSize), and
// nothing else. Stops at the first read or write error, or once *interrupted is set; the reader
// has finished before this returns. `progress` is called in the calling thread with the bytes
// written so far.
TransferResult transferUsedRuns(const UsageMap& map, const TransferEnds& ends,
                                const volatile sig_atomic_t* interrupted,
                                const std::function<void(long long)>& progress);

}  // namespace fsbmp_tool

#endif
