// The fuzz input as a device of `length` bytes: the input's bytes first, zeros after them (no
// input at all: zeros throughout). A read before the device's start breaks a promise; so does a
// read at or past its end where the reader must know the length (`pastEndIsFault`).
#ifndef FSBMP_FUZZ_MEMORY_VIEW_H
#define FSBMP_FUZZ_MEMORY_VIEW_H

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/device_view.h"
#include "promises.h"

namespace fsbmp_fuzz {

class MemoryView : public fsbmp::DeviceView {
 public:
  MemoryView(const uint8_t* data, size_t size, int64_t length, bool pastEndIsFault = false)
      : data_(data), size_(size), length_(length), pastEndIsFault_(pastEndIsFault) {}
  CVoError readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) override {
    check(offset >= 0, "a read before the device");
    if (pastEndIsFault_) check(offset < length_, "a read past the device's end");
    *got = 0;
    if (offset >= length_ || size == 0) return CVoError();
    const int64_t n = std::min<int64_t>(size, length_ - offset);
    unsigned char* out = static_cast<unsigned char*>(buf);
    memset(out, 0, static_cast<size_t>(n));
    if (data_ && offset < static_cast<int64_t>(size_)) {
      const int64_t have = std::min<int64_t>(n, static_cast<int64_t>(size_) - offset);
      memcpy(out, data_ + offset, static_cast<size_t>(have));
    }
    *got = static_cast<uint32_t>(n);
    return CVoError();
  }
  CVoError length(int64_t* bytes) override {
    *bytes = length_;
    return CVoError();
  }

 private:
  const uint8_t* data_;
  size_t size_;
  int64_t length_;
  bool pastEndIsFault_;
};

}  // namespace fsbmp_fuzz

#endif
