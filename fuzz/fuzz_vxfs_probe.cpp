// The VxFS probe and walk fed fsdb's answers from the input: the device carries the VxFS magic,
// and a replayer started in fsdb's place (tools/fsdb_replay.cpp) answers the parser's commands
// with the input's NUL-separated answers in turn.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fsbmp/fsbmp.h"
#include "promises.h"

using fsbmp_fuzz::check;
using fsbmp_fuzz::probeAndWalk;

namespace {

std::string devicePath;
std::string answersPath;

void removeFiles() {
  unlink(devicePath.c_str());
  unlink(answersPath.c_str());
}

void writeFile(const std::string& path, const void* data, size_t size, off_t length) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  check(fd >= 0, "can create a scratch file");
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    check(n > 0, "can write a scratch file");
    p += n;
    size -= static_cast<size_t>(n);
  }
  check(ftruncate(fd, length > 0 ? length : lseek(fd, 0, SEEK_CUR)) == 0, "can size a file");
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  struct stat st;
  const std::string dir = stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
  const std::string stem = dir + "/fsbmp-fuzz-vxfs-" + std::to_string(getpid());
  devicePath = stem + ".dev";
  answersPath = stem + ".answers";
  atexit(removeFiles);
  // A device of 8 MiB whose only content is the superblock magic at byte 8192.
  unsigned char head[8196] = {};
  head[8192] = 0xa5;
  head[8193] = 0x01;
  head[8194] = 0xfc;
  head[8195] = 0xf5;
  writeFile(devicePath, head, sizeof head, 8 << 20);
  const char* tools = getenv("FSBMP_FUZZ_TOOLS");
  const char* path = getenv("PATH");
  setenv("PATH",
         (std::string(tools && *tools ? tools : FSBMP_FUZZ_TOOLS_DIR) + ":" +
          (path ? path : "/usr/bin:/bin"))
             .c_str(),
         1);
  setenv("FSBMP_FUZZ_FSDB_ANSWERS", answersPath.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  writeFile(answersPath, data, size, 0);
  probeAndWalk(devicePath, 1 << 20);
  // The parser is gone and with it fsdb's terminal: the replayer ends.
  while (waitpid(-1, nullptr, 0) > 0) {
  }
  return 0;
}
