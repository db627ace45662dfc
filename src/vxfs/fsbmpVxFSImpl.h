// What the VxFS parser keeps out of its installed header: the state of its exchange with fsdb
// that callers never touch.
#ifndef FSBMP_FSBMPVXFSIMPL_H
#define FSBMP_FSBMPVXFSIMPL_H

#include "fsbmp/fsbmpVxFS.h"

struct FsParserVxFS::Impl {
  int fsdbMaxFd = -1;  // the larger of fsdbFd and fsdbErrFd as fsdb started, for select()
};

#endif
