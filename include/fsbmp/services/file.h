// A file descriptor owned by an object; every call reports through CVoError.
#ifndef FSBMP_SERVICES_FILE_H
#define FSBMP_SERVICES_FILE_H

#include <cstdint>

#include "fsbmp/export.h"
#include "fsbmp/services/error.h"

class FSBMP_API CVoFile {
 public:
  CVoFile() = default;
  ~CVoFile();
  CVoFile(const CVoFile&) = delete;
  CVoFile& operator=(const CVoFile&) = delete;

  CVoError Open(const char* path, int flags, int mode);
  // Moves the position; `newPos`, when given, receives the resulting position.
  CVoError Seek(int64_t offset, int whence, int64_t* newPos);
  // Reads `size` bytes unless the file ends first; `gotBytes`, when given, receives the count.
  CVoError Read(void* buffer, uint32_t size, uint32_t* gotBytes);
  // As Read, from byte `offset`, in one positioned request; the file position is left alone.
  CVoError ReadAt(int64_t offset, void* buffer, uint32_t size, uint32_t* gotBytes);
  CVoError Close();

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

#endif
