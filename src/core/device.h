// How the parsers open a device or image.
#ifndef FSBMP_DEVICE_H
#define FSBMP_DEVICE_H

#include <fcntl.h>

namespace fsbmp {

// Read-only, large-file access in the host's own encoding; close-on-exec so that no child
// process (fsdb among them) inherits the device.
const int kDeviceOpenFlags = O_RDONLY | O_LARGEFILE | O_CLOEXEC;
const int kDeviceOpenMode = 0666;

}  // namespace fsbmp

#endif
