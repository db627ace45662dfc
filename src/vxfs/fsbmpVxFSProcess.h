// Starting fsdb, the VxFS file-system debugger, as a child process: a pseudo-terminal (canonical
// mode, no echo) as its standard input and output, a pipe as its standard error.
#ifndef FSBMP_VXFS_PROCESS_H
#define FSBMP_VXFS_PROCESS_H

#include <string>

#include "fsbmp/services/error.h"

namespace fsbmp {
namespace vxfs {

// The parent's ends of the conversation; -1 where there is none.
struct FsdbChannels {
  int terminal = -1;  // pseudo-terminal master: fsdb's standard input and output
  int errors = -1;    // read end of the pipe that is fsdb's standard error
};

// Starts "/opt/VRTS/bin/fsdb DEV" when that file exists, else "fsdb -F vxfs DEV" from the search
// path. On failure the error (the system's errno) names `where`; a terminal opened before the
// failure is left in *fsdb for its owner to close.
CVoError startFsdb(const JxCodeLocation& where, const std::string& dev, FsdbChannels* fsdb);

}  // namespace vxfs
}  // namespace fsbmp

#endif
