// One select() descriptor set.
#ifndef FSBMP_SERVICES_FDSET_H
#define FSBMP_SERVICES_FDSET_H

#include <sys/select.h>

#include "fsbmp/export.h"

class FSBMP_API VoFdset {
 public:
  VoFdset() { FD_ZERO(&set_); }
  // Adds `fd`; false when it does not fit a select() set.
  bool set(int fd) {
    if (fd < 0 || fd >= FD_SETSIZE) return false;
    FD_SET(fd, &set_);
    return true;
  }
  bool is_set(int fd) const { return fd >= 0 && fd < FD_SETSIZE && FD_ISSET(fd, &set_); }
  fd_set* get_fdsetp() { return &set_; }

 private:
  fd_set set_;
};

#endif
