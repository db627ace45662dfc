#include "device_view.h"

#include <cerrno>
#include <cstdio>
#include <utility>

static const char kFile[] = "fsbmp";
#define HERE JX_LOCATION(kFile)

namespace fsbmp {

DeviceView::~DeviceView() {}

CVoError FileView::readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) {
  return file_->ReadAt(offset, buf, size, got);
}

CVoError FileView::length(int64_t* bytes) {
  // The descriptor's own end; the file position is left where it was for nobody: every read
  // is positioned.
  *bytes = 0;
  return file_->Seek(0, SEEK_END, bytes);
}

ExtentView::ExtentView(std::shared_ptr<DeviceView> under, std::vector<Extent> extents)
    : under_(std::move(under)), extents_(std::move(extents)), length_(0) {
  for (const Extent& e : extents_) length_ += e.length;
}

CVoError ExtentView::length(int64_t* bytes) {
  *bytes = length_;
  return CVoError();
}

CVoError ExtentView::readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) {
  *got = 0;
  if (offset < 0) {
    return JxErrorUtil::ErrorErrNo(HERE, EINVAL, "read at offset %lld refused",
                                   static_cast<long long>(offset));
  }
  unsigned char* out = static_cast<unsigned char*>(buf);
  int64_t extentStart = 0;  // view offset of the current extent
  for (const Extent& e : extents_) {
    if (*got == size) break;
    const int64_t at = offset + *got;
    if (at >= extentStart + e.length) {
      extentStart += e.length;
      continue;
    }
    const int64_t within = at - extentStart;
    const int64_t left = e.length - within;
    const uint32_t want =
        left < static_cast<int64_t>(size - *got) ? static_cast<uint32_t>(left) : size - *got;
    uint32_t n = 0;
    CVoError err = under_->readAt(e.start + within, out + *got, want, &n);
    *got += n;
    if (err.code < 0) return err;
    if (n < want) break;  // the device underneath ends inside the extent
    extentStart += e.length;
  }
  return CVoError();
}

}  // namespace fsbmp
