#include "fsbmp/services/file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

static const char kFile[] = "CVoFile";
#define HERE JX_LOCATION(kFile)

CVoFile::~CVoFile() {
  if (fd_ >= 0) ::close(fd_);
}

CVoError CVoFile::Open(const char* path, int flags, int mode) {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return JxErrorUtil::ErrorErrNo(HERE, errno, "open(\"%s\") failed", path);
  fd_ = fd;
  return CVoError();
}

CVoError CVoFile::Seek(int64_t offset, int whence, int64_t* newPos) {
  off_t pos = ::lseek(fd_, static_cast<off_t>(offset), whence);
  if (pos < 0) {
    return JxErrorUtil::ErrorErrNo(HERE, errno, "lseek(%lld, %d) failed",
                                   static_cast<long long>(offset), whence);
  }
  if (newPos) *newPos = pos;
  return CVoError();
}

namespace {

// Reads until `size` bytes are in or the file ends; `offset` < 0 reads at the file position.
CVoError readFully(int fd, int64_t offset, void* buffer, uint32_t size, uint32_t* gotBytes) {
  uint32_t done = 0;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  while (done < size) {
    ssize_t n = offset < 0
                    ? ::read(fd, out + done, size - done)
                    : ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      if (gotBytes) *gotBytes = done;
      return JxErrorUtil::ErrorErrNo(HERE, saved, "read(%u bytes) failed", size - done);
    }
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  if (gotBytes) *gotBytes = done;
  return CVoError();
}

}  // namespace

CVoError CVoFile::Read(void* buffer, uint32_t size, uint32_t* gotBytes) {
  return readFully(fd_, -1, buffer, size, gotBytes);
}

CVoError CVoFile::ReadAt(int64_t offset, void* buffer, uint32_t size, uint32_t* gotBytes) {
  if (offset < 0) {
    return JxErrorUtil::ErrorErrNo(HERE, EINVAL, "read at offset %lld refused",
                                   static_cast<long long>(offset));
  }
  return readFully(fd_, offset, buffer, size, gotBytes);
}

CVoError CVoFile::Close() {
  if (fd_ < 0) return CVoError();
  int rc = ::close(fd_);
  fd_ = -1;
  if (rc < 0 && errno != EINTR) return JxErrorUtil::ErrorErrNo(HERE, errno, "close() failed");
  return CVoError();
}
