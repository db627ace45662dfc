// The table of file systems: what the factory tries, in its order, and their names.
#ifndef FSBMP_CORE_REGISTRY_H
#define FSBMP_CORE_REGISTRY_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "fsbmp/fsbmp.h"

namespace fsbmp {

struct FileSystemType {
  int kind;          // FsParser::kExt2, ...: what fsType says
  const char* name;  // for people: "ext2/3/4", "XFS", ...
  // Constructs the parser, which probes the device at `dev`, or the partition or volume that
  // `view` stands for (`dev` then names it in messages); the caller keeps it only when *err is
  // not negative.
  FsParser* (*onPath)(const std::string& dev, CVoError* err);
  FsParser* (*onView)(const std::shared_ptr<DeviceView>& view, const std::string& dev,
                      CVoError* err);
};

// The rows of core/registry.def, in the factory's order.
const FileSystemType* fileSystemTypes(size_t* count);
// The row of `kind`, or null.
const FileSystemType* fileSystemType(int kind);

// The probing factory on a view: the parsers in the factory's order (core/registry.def) on the
// partition or volume that `view` stands for (null: the device at `dev` as it stands); `dev`
// names it in messages. *err receives the last refusal, and `refusals`, when not null, each one.
FsParser* probeView(const std::shared_ptr<DeviceView>& view, const std::string& dev, CVoError* err,
                    std::vector<FsParser::Refusal>* refusals = nullptr);

}  // namespace fsbmp

#endif
