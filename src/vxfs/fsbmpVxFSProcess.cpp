// Starting fsdb: the pseudo-terminal, the fork and the exec. Between fork and exec the child
// makes only async-signal-safe calls; everything it needs is prepared before the fork.
#include "vxfs/fsbmpVxFSProcess.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace fsbmp {
namespace vxfs {

namespace {

const char kFixedFsdb[] = "/opt/VRTS/bin/fsdb";

// Opens the master side of a pseudo-terminal: /dev/ptmx first, then the legacy BSD devices.
// Returns the master (close-on-exec) and the slave's path, or -1 with errno of the last open.
int openPseudoTerminal(std::string* slavePath) {
  int fd = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    char name[128];
    if (grantpt(fd) >= 0 && unlockpt(fd) >= 0 && ptsname_r(fd, name, sizeof name) == 0) {
      *slavePath = name;
      return fd;
    }
    close(fd);
  }
  char legacy[] = "/dev/ptyXX";
  for (const char* letter = "pqrstuvwxyzPQRST"; *letter; ++letter) {
    legacy[8] = *letter;
    for (const char* digit = "0123456789abcdef"; *digit; ++digit) {
      legacy[9] = *digit;
      fd = open(legacy, O_RDWR | O_CLOEXEC);
      if (fd >= 0) {
        legacy[5] = 't';
        *slavePath = legacy;
        return fd;
      }
    }
  }
  return -1;
}

// Everything the child needs, made before fork so that the child allocates nothing.
struct ChildPlan {
  const char* slavePath;
  int master;
  int pipeRead;
  int pipeWrite;
  const char* fixedArgv[3];        // /opt/VRTS/bin/fsdb DEVICE
  const char* searchArgv[5];       // fsdb -F vxfs DEVICE
  std::vector<const char*> paths;  // "DIR/fsdb" for every directory of the search path
};

// The candidates that a search-path exec of "fsdb" tries, in order.
std::vector<std::string> fsdbCandidates() {
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/bin:/usr/bin";
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t end = dirs.find(':', start);
    std::string dir =
        dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    out.push_back(dir.empty() ? "fsdb" : dir + "/fsdb");
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

// Writes the parts as one message on standard error; async-signal-safe.
void childComplain(std::initializer_list<const char*> parts) {
  char line[1024];
  size_t n = 0;
  for (const char* part : parts) {
    for (; part && *part && n < sizeof line; ++part) line[n++] = *part;
  }
  ssize_t ignored = write(2, line, n);
  (void)ignored;
}

// The system's text for an error number, without touching the heap or the locale.
const char* errnoText(int e) {
  const char* text = strerrordesc_np(e);
  return text ? text : "Unknown error";
}

// Moves a descriptor above the standard ones so that setting up 0, 1 and 2 cannot clobber it.
int aboveStandard(int fd) {
  if (fd > 2) return fd;
  return fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

// The child between fork and exec: only async-signal-safe calls from here on.
[[noreturn]] void runChild(const ChildPlan& plan) {
  setsid();
  const int master = aboveStandard(plan.master);
  const int pipeRead = aboveStandard(plan.pipeRead);
  const int pipeWrite = aboveStandard(plan.pipeWrite);
  // Each call takes the lowest free descriptor: the slave becomes 0 and 1, the pipe 2. A failed
  // open shows up in the controlling-terminal request below.
  close(0);
  int taken = open(plan.slavePath, O_RDWR);
  close(1);
  taken = dup(0);
  close(2);
  taken = dup(pipeWrite);
  (void)taken;
  close(pipeRead);
  close(pipeWrite);
  close(master);
  if (ioctl(0, TIOCSCTTY, 0) < 0) {
    childComplain({"Unable to setup slave pseudo-terminal node:\n", errnoText(errno), "\n"});
    _exit(1);
  }
  struct termios modes;
  if (tcgetattr(0, &modes) < 0) {
    childComplain({"Couldn't query pseudo-terminal's configuration: ", errnoText(errno), "\n"});
    _exit(1);
  }
  modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  if (tcsetattr(0, TCSAFLUSH, &modes) < 0) {
    childComplain({"Couldn't turn off pseudo-terminal's echo: ", errnoText(errno), "\n"});
    _exit(1);
  }
  struct stat st;
  const char* program;
  if (stat(kFixedFsdb, &st) == 0) {
    program = kFixedFsdb;
    execv(kFixedFsdb, const_cast<char* const*>(plan.fixedArgv));
  } else {
    // What execlp("fsdb", ...) does: try every directory of the search path in turn.
    program = "fsdb";
    bool denied = false;
    for (const char* candidate : plan.paths) {
      execv(candidate, const_cast<char* const*>(plan.searchArgv));
      if (errno == EACCES) {
        denied = true;
      } else if (errno != ENOENT && errno != ENOTDIR && errno != ENODEV && errno != ESTALE &&
                 errno != ETIMEDOUT) {
        break;
      }
    }
    if (denied && (errno == ENOENT || errno == ENOTDIR)) errno = EACCES;
  }
  childComplain({"Couldn't spawn ", program, ": ", errnoText(errno), "\n"});
  _exit(1);
}

}  // namespace

CVoError startFsdb(const JxCodeLocation& where, const std::string& dev, FsdbChannels* fsdb) {
  ChildPlan plan;
  std::string slavePath;
  fsdb->terminal = openPseudoTerminal(&slavePath);
  if (fsdb->terminal < 0)
    return JxErrorUtil::ErrorErrNo(where, errno,
                                   "Couldn't setup a pseudo-terminal to run VxFS fsdb");

  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) < 0)
    return JxErrorUtil::ErrorErrNo(where, errno, "Couldn't create pipes to run VxFS fsdb");

  const std::vector<std::string> candidates = fsdbCandidates();
  plan.slavePath = slavePath.c_str();
  plan.master = fsdb->terminal;
  plan.pipeRead = pipeEnds[0];
  plan.pipeWrite = pipeEnds[1];
  plan.fixedArgv[0] = kFixedFsdb;
  plan.fixedArgv[1] = dev.c_str();
  plan.fixedArgv[2] = nullptr;
  plan.searchArgv[0] = "fsdb";
  plan.searchArgv[1] = "-F";
  plan.searchArgv[2] = "vxfs";
  plan.searchArgv[3] = dev.c_str();
  plan.searchArgv[4] = nullptr;
  for (const std::string& c : candidates) plan.paths.push_back(c.c_str());

  const pid_t pid = fork();
  if (pid < 0) {
    CVoError err = JxErrorUtil::ErrorErrNo(where, errno, "Couldn't fork VxFS fsdb");
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    return err;
  }
  if (pid == 0) runChild(plan);

  fsdb->errors = pipeEnds[0];
  close(pipeEnds[1]);
  return CVoError();
}

}  // namespace vxfs
}  // namespace fsbmp
