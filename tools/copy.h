// `fsbmp copy`: writes every used chunk of a device to the same offset of a target, and nothing
// else. A regular-file target appears complete or not at all: it is written under a temporary
// name beside it, kept sparse where chunks are free, synced and renamed at the end. A block
// device target gets the used chunks written in place.
#ifndef FSBMP_TOOLS_COPY_H
#define FSBMP_TOOLS_COPY_H

#include <string>

#include "usage_map.h"

namespace fsbmp_tool {

struct CopyOptions {
  bool quiet = false;          // no progress bar
  bool direct = false;         // O_DIRECT on both sides
  long long sourceOffset = 0;  // where the copied device starts on DEVICE (a partition)
};

// Checks TARGET before anything is read: a name for a file or a block device, not a directory
// (nor a name ending in '/'). False after printing why.
bool checkCopyTarget(const std::string& target);

// 0 on success, 1 on failure (after printing why), 130 when interrupted.
int copyUsedChunks(const std::string& device, const UsageMap& map, const std::string& target,
                   const CopyOptions& options);

}  // namespace fsbmp_tool

#endif
