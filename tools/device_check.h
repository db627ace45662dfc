// What else is using a device: file systems mounted from it, from a device stacked on it (a
// partition, a device-mapper or LVM volume, a loop device over it or over an image file), and
// what a file is, for messages.
#ifndef FSBMP_TOOLS_DEVICE_CHECK_H
#define FSBMP_TOOLS_DEVICE_CHECK_H

#include <sys/stat.h>

#include <string>
#include <vector>

namespace fsbmp_tool {

struct MountUse {
  std::string mountPoint;
  std::string via;  // the stacked device it is mounted from ("dm-0"); "" for the device itself
  bool readWrite = false;
};

// The mounts of the file (a block device, or an image file behind a loop device) `st` describes,
// found in /proc/self/mountinfo by device number, following /sys/class/block holders and
// partitions.
std::vector<MountUse> mountsOf(const struct stat& st);

// The first read-write mount, or null.
const MountUse* readWriteMount(const std::vector<MountUse>& mounts);

// "mounted read-write at /mnt (through dm-0)".
std::string describeMount(const MountUse& mount);

// What a file is, for messages: "a directory", "a FIFO", "a character device", ...
const char* fileKind(mode_t mode);

}  // namespace fsbmp_tool

#endif
