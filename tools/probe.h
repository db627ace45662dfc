// Opening a device through the library's factory (or, when it holds a partition table, as a
// whole disk) and, when nothing recognises it, the report of what was tried.
#ifndef FSBMP_TOOLS_PROBE_H
#define FSBMP_TOOLS_PROBE_H

#include <sys/stat.h>

#include <memory>
#include <string>

#include "fsbmp/fsbmp.h"
#include "fsbmp/fsbmpDisk.h"
#include "usage_map.h"

namespace fsbmp_tool {

// Opens `device` into *source: the parser for its file system or, when the factory refuses a
// device that holds a partition table, the whole disk. False after printing why: the device
// cannot be opened, is neither a regular file nor a block device (refused at once: a FIFO never
// blocks the tool), is empty, holds a damaged partition table, or each file system in turn
// refused it (with `verbose`, each refusal's whole error stack). `st`, when given, receives
// what the device is.
bool openSource(const std::string& device, bool verbose, Source* source, struct stat* st = nullptr,
                const FsDisk::Options* layers = nullptr);

// What a partition of a disk holds, in a few words: "ext2/3/4, 4096-byte blocks", "swap".
std::string partitionContent(const FsPartition& p);

// Takes partition `number` of the disk in *source as the device (--partition). "" on success,
// else the usage error: not a number, not a disk, or no such partition.
std::string selectPartition(const std::string& number, Source* source);
// A layer (md, LUKS, thin) and what info shows of it, on one line.
std::string layerText(const std::string& layer, const std::vector<FsParser::Property>& info);
// What a logical volume holds, or why its extents count used.
std::string volumeContent(const FsLogicalVolume& lv);

// A library error for a person: its messages, newest first, joined by ": " (with `verbose`,
// the whole located stack on lines of its own).
std::string errorText(const CVoError& err, bool verbose);

}  // namespace fsbmp_tool

#endif
