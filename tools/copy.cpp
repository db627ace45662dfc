#include "copy.h"

#include <fcntl.h>
#include <libgen.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device_check.h"
#include "progress.h"
#include "transfer.h"

namespace fsbmp_tool {

namespace {

volatile sig_atomic_t gInterrupted = 0;

void onSignal(int) {
  gInterrupted = 1;
}

// Catches SIGINT, SIGTERM and SIGHUP while it lives, so that an interrupted copy removes its
// temporary file.
class InterruptGuard {
 public:
  InterruptGuard() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &sa, &old_[i]);
  }
  ~InterruptGuard() {
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &old_[i], nullptr);
  }

 private:
  static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction old_[3];
};
constexpr int InterruptGuard::kSignals[3];

// The target being written; a temporary file is unlinked unless committed.
struct Target {
  std::string path;      // what the user named
  std::string tempPath;  // empty for a block device
  int fd = -1;
  ~Target() {
    if (fd >= 0) close(fd);
    if (!tempPath.empty()) unlink(tempPath.c_str());
  }
};

std::string dirOf(const std::string& path) {
  std::vector<char> copy(path.begin(), path.end());
  copy.push_back('\0');
  return dirname(copy.data());
}

std::string baseOf(const std::string& path) {
  std::vector<char> copy(path.begin(), path.end());
  copy.push_back('\0');
  return basename(copy.data());
}

// The file a chain of symbolic links ends at (which need not exist yet), so that a link is
// written through, as cp does, and not replaced.
std::string followLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::vector<char> link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 2);
    ssize_t n = readlink(path.c_str(), link.data(), link.size() - 1);
    if (n <= 0) return path;
    const std::string to(link.data(), static_cast<size_t>(n));
    path = to[0] == '/' ? to : dirOf(path) + "/" + to;
  }
  return path;
}

bool openTarget(const std::string& givenPath, const struct stat& source, long long devSize,
                Target* target) {
  const std::string targetPath = followLinks(givenPath);
  target->path = targetPath;
  struct stat st;
  if (stat(targetPath.c_str(), &st) == 0) {
    const bool same = S_ISBLK(st.st_mode) && S_ISBLK(source.st_mode)
                          ? st.st_rdev == source.st_rdev
                          : st.st_dev == source.st_dev && st.st_ino == source.st_ino;
    if (same) {
      fprintf(stderr, "fsbmp: %s is the device being copied\n", targetPath.c_str());
      return false;
    }
    if (S_ISBLK(st.st_mode)) {
      // O_EXCL: the kernel refuses a device that is mounted or held by another device.
      target->fd = open(targetPath.c_str(), O_WRONLY | O_CLOEXEC | O_EXCL);
      if (target->fd < 0 && errno == EBUSY) {
        std::string where;
        for (const MountUse& m : mountsOf(st)) where = describeMount(m);
        fprintf(stderr,
                "fsbmp: %s is in use (%s);\nrefusing to write into it. Unmount it, or stop what "
                "holds it, first.\n",
                targetPath.c_str(),
                where.empty() ? "mounted, or held by a device-mapper or LVM volume, a RAID "
                                "array or another program"
                              : where.c_str());
        return false;
      }
      if (target->fd < 0) {
        fprintf(stderr, "fsbmp: couldn't open %s for writing: %s\n", targetPath.c_str(),
                strerror(errno));
        return false;
      }
      off_t size = lseek(target->fd, 0, SEEK_END);
      if (size < devSize) {
        fprintf(stderr,
                "fsbmp: %s holds %lld bytes, less than the %lld bytes of the device being "
                "copied\n",
                targetPath.c_str(), static_cast<long long>(size), devSize);
        return false;
      }
      return true;
    }
    if (!S_ISREG(st.st_mode)) {
      fprintf(stderr, "fsbmp: %s is neither a regular file nor a block device\n",
              targetPath.c_str());
      return false;
    }
  } else if (errno != ENOENT) {
    fprintf(stderr, "fsbmp: couldn't look at %s: %s\n", targetPath.c_str(), strerror(errno));
    return false;
  }

  const std::string dir = dirOf(targetPath);
  std::string name = dir + "/." + baseOf(targetPath) + ".fsbmp-XXXXXX";
  std::vector<char> templ(name.begin(), name.end());
  templ.push_back('\0');
  target->fd = mkostemp(templ.data(), O_CLOEXEC);
  if (target->fd < 0) {
    fprintf(stderr, "fsbmp: couldn't create a temporary file in %s: %s\n", dir.c_str(),
            strerror(errno));
    return false;
  }
  target->tempPath = templ.data();
  if (ftruncate(target->fd, devSize) != 0) {
    fprintf(stderr, "fsbmp: couldn't size %s to %lld bytes: %s\n", target->tempPath.c_str(),
            devSize, strerror(errno));
    return false;
  }
  return true;
}

// Syncs the target and, for a file, gives it the usual mode and its final name.
bool commitTarget(Target* target) {
  const std::string& written = target->tempPath.empty() ? target->path : target->tempPath;
  if (fsync(target->fd) != 0) {
    fprintf(stderr, "fsbmp: couldn't write %s: %s\n", written.c_str(), strerror(errno));
    return false;
  }
  if (target->tempPath.empty()) return true;
  mode_t mask = umask(0);
  umask(mask);
  if (fchmod(target->fd, 0666 & ~mask) != 0) {
    fprintf(stderr, "fsbmp: couldn't set the mode of %s: %s\n", written.c_str(), strerror(errno));
    return false;
  }
  int fd = target->fd;
  target->fd = -1;
  if (close(fd) != 0) {
    fprintf(stderr, "fsbmp: couldn't write %s: %s\n", written.c_str(), strerror(errno));
    return false;
  }
  if (rename(target->tempPath.c_str(), target->path.c_str()) != 0) {
    fprintf(stderr, "fsbmp: couldn't rename %s to %s: %s\n", written.c_str(), target->path.c_str(),
            strerror(errno));
    return false;
  }
  target->tempPath.clear();
  // The new name lasts once the directory is synced too.
  int dirFd = open(dirOf(target->path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return true;
}

// A descriptor closed when it goes out of scope.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

// Opens PATH a second time with O_DIRECT; -1 after saying why (of NAME, what the user named). A
// file system that takes no direct I/O refuses the open with EINVAL.
int openDirect(const std::string& path, const std::string& name, int flags) {
  int fd = open(path.c_str(), flags | O_DIRECT | O_CLOEXEC);
  if (fd < 0 && errno == EINVAL)
    fprintf(stderr,
            "fsbmp: couldn't open %s for direct I/O (--direct): the file system there does not "
            "support O_DIRECT; copy without --direct\n",
            name.c_str());
  else if (fd < 0)
    fprintf(stderr, "fsbmp: couldn't open %s for direct I/O (--direct): %s\n", name.c_str(),
            strerror(errno));
  return fd;
}

// What direct I/O on FD is aligned to: a block device's logical sector size, and at least a page
// (which any file system with direct I/O takes).
long long directAlignment(int fd) {
  struct stat st;
  int sector = 0;
  if (fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && ioctl(fd, BLKSSZGET, &sector) == 0 &&
      sector > 4096 && (sector & (sector - 1)) == 0)
    return sector;
  return 4096;
}

}  // namespace

bool checkCopyTarget(const std::string& target) {
  if (target.back() == '/') {
    fprintf(stderr, "fsbmp: %s ends in '/': name a file for the copy\n", target.c_str());
    return false;
  }
  struct stat st;
  if (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    fprintf(stderr, "fsbmp: %s is a directory: name a file in it for the copy\n", target.c_str());
    return false;
  }
  if (stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    fprintf(stderr, "fsbmp: %s is %s, not a regular file or a block device\n", target.c_str(),
            fileKind(st.st_mode));
    return false;
  }
  return true;
}

int copyUsedChunks(const std::string& device, const UsageMap& map, const std::string& targetPath,
                   const CopyOptions& options) {
  // Used space past the device's end cannot be copied; say so before anything is written. A
  // chunk that straddles the end may hold used blocks past it, so it counts as past the end.
  if (map.fsSize > map.devSize) {
    long long lastUsed = map.nChunks - 1;
    while (lastUsed >= 0 && !map.used(lastUsed)) --lastUsed;
    if (lastUsed >= 0 && (lastUsed + 1) * map.chunkSize > map.devSize) {
      fprintf(stderr,
              "fsbmp: couldn't copy %s: its file system (%lld bytes) uses space past the end of "
              "the device (%lld bytes)\n",
              device.c_str(), map.fsSize, map.devSize);
      return 1;
    }
  }

  int src = open(device.c_str(), O_RDONLY | O_CLOEXEC);
  if (src < 0) {
    fprintf(stderr, "fsbmp: couldn't open %s for reading: %s\n", device.c_str(), strerror(errno));
    return 1;
  }
  struct SourceCloser {
    int fd;
    ~SourceCloser() { close(fd); }
  } closer{src};
  struct stat sourceStat;
  if (fstat(src, &sourceStat) != 0) {
    fprintf(stderr, "fsbmp: couldn't look at %s: %s\n", device.c_str(), strerror(errno));
    return 1;
  }

  InterruptGuard guard;
  gInterrupted = 0;
  Target target;
  if (!openTarget(targetPath, sourceStat, map.devSize, &target)) return 1;

  // A file target that failed is removed with its temporary name; a device keeps what was
  // written and says so.
  const std::string outcome = target.tempPath.empty() ? targetPath + " holds an incomplete copy"
                                                      : targetPath + " was not written";
  TransferEnds ends;
  ends.source = src;
  ends.target = target.fd;
  ends.sourceOffset = options.sourceOffset;
  ends.sourceName = device;
  ends.targetName = target.path;
  Descriptor sourceDirect, targetDirect;
  if (options.direct) {
    const std::string& written = target.tempPath.empty() ? target.path : target.tempPath;
    sourceDirect.fd = openDirect(device, device, O_RDONLY);
    if (sourceDirect.fd >= 0) targetDirect.fd = openDirect(written, target.path, O_WRONLY);
    if (targetDirect.fd < 0) {
      if (!target.tempPath.empty()) fprintf(stderr, "fsbmp: %s\n", outcome.c_str());
      return 1;
    }
    ends.sourceDirect = sourceDirect.fd;
    ends.targetDirect = targetDirect.fd;
    ends.alignment = std::max(directAlignment(src), directAlignment(target.fd));
    if (options.sourceOffset % ends.alignment != 0) {
      fprintf(stderr,
              "fsbmp: the partition starts at byte %lld of %s, not on a %lld-byte boundary that "
              "direct I/O needs; copy it without --direct\n",
              options.sourceOffset, device.c_str(), ends.alignment);
      if (!target.tempPath.empty()) fprintf(stderr, "fsbmp: %s\n", outcome.c_str());
      return 1;
    }
  }

  const long long total = map.usedBytes();
  Progress progress(total, !options.quiet);
  const double start = monotonicSeconds();
  const TransferResult moved =
      transferUsedRuns(map, ends, &gInterrupted, [&](long long done) { progress.update(done); });
  const long long done = moved.done, runs = moved.runs;
  const std::string& failure = moved.failure;
  if (!failure.empty() || moved.interrupted) {
    progress.stop();
    if (moved.interrupted) {
      fprintf(stderr, "fsbmp: interrupted; %s\n", outcome.c_str());
      return 130;
    }
    fprintf(stderr, "fsbmp: %s\nfsbmp: %s\n", failure.c_str(), outcome.c_str());
    return 1;
  }
  progress.stop();
  if (!commitTarget(&target)) {
    fprintf(stderr, "fsbmp: %s\n", outcome.c_str());
    return 1;
  }
  const double seconds = monotonicSeconds() - start;
  printf("copied:  %s to %s\n", device.c_str(), targetPath.c_str());
  printf("used:    %lld bytes (%s) in %lld %s of %lld-byte chunks\n", total,
         humanBytes(static_cast<double>(total)).c_str(), runs, runs == 1 ? "run" : "runs",
         map.chunkSize);
  printf("written: %lld bytes of %lld\n", done, map.devSize);
  printf("time:    %.2f s (%s/s)\n", seconds,
         humanBytes(seconds > 0 ? static_cast<double>(done) / seconds : 0).c_str());
  return 0;
}

}  // namespace fsbmp_tool
