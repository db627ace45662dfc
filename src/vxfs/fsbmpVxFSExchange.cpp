// The exchange with fsdb: one command, one answer up to the prompt, within the time limit; and
// blocks of the device read through fsdb's hexadecimal dump.
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "fsbmp/fsbmpVxFS.h"
#include "vxfs/fsbmpVxFSImpl.h"
#include "vxfs/fsbmpVxFSText.h"

static const char kFile[] = "fsbmpVxFS";
#define HERE JX_LOCATION(kFile)

namespace {

const int kAnswerTimeLimit = 60;  // seconds for one exchange with fsdb
const char kPrompt[] = "> ";

}  // namespace

CVoError FsParserVxFS::talkToFSDB(const std::string& cmd, std::string* answer) {
  const char* cursor = cmd.data();
  int32_t toSend = static_cast<int32_t>(cmd.size());
  std::string errorText;
  CVoError pending;
  char buf[4096];
  answer->clear();

  const time_t start = time(nullptr);
  for (;;) {
    const time_t now = time(nullptr);
    if (now > start + kAnswerTimeLimit - 1) break;
    if (fsdbFd < 0 && fsdbErrFd < 0) break;
    const size_t prompt = answer->find(kPrompt);
    if (prompt != std::string::npos) {
      answer->resize(prompt);
      return CVoError();
    }

    VoFdset readSet;
    VoFdset writeSet;
    if (fsdbFd >= 0) {
      if (toSend > 0) writeSet.set(fsdbFd);
      readSet.set(fsdbFd);
    }
    if (fsdbErrFd >= 0) readSet.set(fsdbErrFd);
    struct timeval timeout;
    timeout.tv_sec = start + kAnswerTimeLimit - now;
    timeout.tv_usec = 0;
    const int ready = select(impl_->fsdbMaxFd + 1, readSet.get_fdsetp(), writeSet.get_fdsetp(),
                             nullptr, &timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return JxErrorUtil::ErrorErrNo(HERE, errno, "Couldn't wait for VxFS fsdb's response");
    }
    if (ready == 0) break;

    if (fsdbFd >= 0) {
      bool failed = false;
      if (writeSet.is_set(fsdbFd)) {
        const ssize_t n = write(fsdbFd, cursor, static_cast<size_t>(toSend));
        if (n > 0) {
          cursor += n;
          toSend -= static_cast<int32_t>(n);
        } else if (n < 0 && errno != EINTR) {
          pending = JxErrorUtil::ErrorErrNo(HERE, errno, "Couldn't send command to VxFS fsdb");
          close(fsdbFd);
          fsdbFd = -1;
          failed = true;
        }
      }
      if (!failed && readSet.is_set(fsdbFd)) {
        const ssize_t n = read(fsdbFd, buf, sizeof buf);
        if (n > 0) {
          answer->append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
          pending = JxErrorUtil::ErrorInt(HERE, 1, "Unexpected EOF from VxFS fsdb");
          close(fsdbFd);
          fsdbFd = -1;
        } else if (errno != EINTR) {
          pending =
              JxErrorUtil::ErrorErrNo(HERE, errno, "Couldn't get command response from VxFS fsdb");
          close(fsdbFd);
          fsdbFd = -1;
        }
      }
    }

    if (fsdbErrFd >= 0 && readSet.is_set(fsdbErrFd)) {
      const ssize_t n = read(fsdbErrFd, buf, 1024);
      if (n > 0) {
        errorText.append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        if (n < 0)
          pending =
              JxErrorUtil::ErrorErrNo(HERE, errno, "Couldn't get error message from VxFS fsdb");
        close(fsdbErrFd);
        fsdbErrFd = -1;
        if (fsdbFd >= 0) close(fsdbFd);
        fsdbFd = -1;
      }
    }
  }

  if (!errorText.empty())
    return JxErrorUtil::ErrorInt(HERE, 1, "VxFS fsdb returned error: %s", errorText.c_str());
  if (pending.code < 0) return pending;
  return JxErrorUtil::ErrorInt(HERE, 1, "Timedout waiting for VxFS fsdb's response");
}

CVoError FsParserVxFS::readBlock(long long block, void* buf) {
  char cmd[64];
  snprintf(cmd, sizeof cmd, "%lldb.p%dxB\n", block, blockSize);
  std::string answer;
  CVoError err = talkToFSDB(cmd, &answer);
  if (err.code < 0) return err.Push(HERE, "Couldn't read block %lld", block);
  switch (fsbmp::vxfs::decodeHexDump(answer.c_str(), static_cast<unsigned char*>(buf), blockSize)) {
    case fsbmp::vxfs::kDumpOk:
      return CVoError();
    case fsbmp::vxfs::kDumpCorrupt:
      return JxErrorUtil::ErrorInt(
          HERE, 1, "Couldn't read block %lld from VxFS fsdb: corrupt output", block);
    case fsbmp::vxfs::kDumpWrongSize:
    default:
      return JxErrorUtil::ErrorInt(
          HERE, 1, "Couldn't read block %lld from VxFS fsdb: incorrect number of bytes received",
          block);
  }
}
