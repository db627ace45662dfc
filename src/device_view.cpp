#include "device_view.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "coding.h"

static const char kFile[] = "fsbmp";
#define HERE JX_LOCATION(kFile)

namespace fsbmp {

DeviceView::~DeviceView() {}

CVoError FileView::readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) {
  return file_->ReadAt(offset, buf, size, got);
}

void DeviceView::willNeed(int64_t, int64_t) {}

void FileView::willNeed(int64_t offset, int64_t size) {
  // Starts the reads and returns; pages already cached cost a look-up each.
  if (file_->isOpen()) posix_fadvise(file_->fd(), offset, size, POSIX_FADV_WILLNEED);
}

CVoError FileView::length(int64_t* bytes) {
  // The descriptor's end. Moving the file position harms nothing: every read is positioned.
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

void ExtentView::willNeed(int64_t offset, int64_t size) {
  if (offset < 0) return;
  int64_t extentStart = 0;
  for (const Extent& e : extents_) {
    if (size <= 0) break;
    if (offset < extentStart + e.length) {
      const int64_t within = offset - extentStart;
      const int64_t n = size < e.length - within ? size : e.length - within;
      under_->willNeed(e.start + within, n);
      offset += n;
      size -= n;
    }
    extentStart += e.length;
  }
}

StripedView::StripedView(std::shared_ptr<DeviceView> under, std::vector<Segment> segments)
    : under_(std::move(under)), segments_(std::move(segments)), length_(0) {
  for (const Segment& s : segments_) length_ += s.length;
}

CVoError StripedView::length(int64_t* bytes) {
  *bytes = length_;
  return CVoError();
}

void StripedView::forEachRun(int64_t offset, int64_t size,
                             const std::function<bool(int64_t, int64_t)>& fn) const {
  int64_t segStart = 0;
  for (const Segment& s : segments_) {
    if (size <= 0) return;
    if (offset >= segStart + s.length) {
      segStart += s.length;
      continue;
    }
    while (size > 0 && offset < segStart + s.length) {
      const int64_t within = offset - segStart;
      int64_t at, left;
      if (s.stripes.size() == 1) {
        at = s.stripes[0] + within;
        left = s.length - within;
      } else {
        const int64_t n = static_cast<int64_t>(s.stripes.size());
        const int64_t piece = within / s.stripeSize;
        at = s.stripes[static_cast<size_t>(piece % n)] + (piece / n) * s.stripeSize +
             within % s.stripeSize;
        left = s.stripeSize - within % s.stripeSize;
      }
      const int64_t run = left < size ? left : size;
      if (!fn(at, run)) return;
      offset += run;
      size -= run;
    }
    segStart += s.length;
  }
}

CVoError StripedView::readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) {
  *got = 0;
  if (offset < 0) {
    return JxErrorUtil::ErrorErrNo(HERE, EINVAL, "read at offset %lld refused",
                                   static_cast<long long>(offset));
  }
  unsigned char* out = static_cast<unsigned char*>(buf);
  CVoError err;
  forEachRun(offset, size, [&](int64_t at, int64_t run) {
    uint32_t n = 0;
    err = under_->readAt(at, out + *got, static_cast<uint32_t>(run), &n);
    *got += n;
    return err.code >= 0 && n == run;
  });
  return err;
}

void StripedView::willNeed(int64_t offset, int64_t size) {
  if (offset < 0) return;
  forEachRun(offset, size, [&](int64_t at, int64_t run) {
    under_->willNeed(at, run);
    return true;
  });
}

BlockOverlay::BlockOverlay(std::shared_ptr<DeviceView> under, int blockSize,
                           std::map<uint64_t, Copy> copies, std::shared_ptr<DeviceView> source)
    : under_(std::move(under)),
      source_(source ? std::move(source) : under_),
      blockSize_(blockSize),
      copies_(std::move(copies)) {}

CVoError BlockOverlay::readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) {
  CVoError err = under_->readAt(offset, buf, size, got);
  if (err.code < 0 || *got == 0) return err;
  const uint64_t bs = static_cast<uint64_t>(blockSize_);
  const uint64_t start = static_cast<uint64_t>(offset);
  const uint64_t end = start + *got;
  std::vector<unsigned char> copy(bs);
  for (auto it = copies_.lower_bound(start / bs); it != copies_.end() && it->first * bs < end;
       ++it) {
    uint32_t n = 0;
    err = source_->readAt(static_cast<int64_t>(it->second.at * bs), copy.data(),
                          static_cast<uint32_t>(bs), &n);
    if (err.code < 0) return err;
    if (n != bs) {
      return JxErrorUtil::ErrorErrNo(HERE, ENOSPC, "EOF while reading journal copy at block %llu",
                                     static_cast<unsigned long long>(it->second.at));
    }
    if (it->second.jbd2Escaped) encodeBE32(copy.data(), 0xC03B3998u);  // the JBD2 magic
    // The part of this block that the read covers.
    const uint64_t blockStart = it->first * bs;
    const uint64_t from = blockStart > start ? blockStart : start;
    const uint64_t to = blockStart + bs < end ? blockStart + bs : end;
    memcpy(static_cast<unsigned char*>(buf) + (from - start), copy.data() + (from - blockStart),
           static_cast<size_t>(to - from));
  }
  return CVoError();
}

CVoError MemoryOverlay::readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) {
  CVoError err = under_->readAt(offset, buf, size, got);
  if (err.code < 0 || *got == 0) return err;
  const int64_t end = offset + *got;
  for (auto it = sectors_.lower_bound(offset / kSector);
       it != sectors_.end() && it->first * kSector < end; ++it) {
    const int64_t sectorStart = it->first * kSector;
    const int64_t from = sectorStart > offset ? sectorStart : offset;
    const int64_t to = sectorStart + kSector < end ? sectorStart + kSector : end;
    memcpy(static_cast<unsigned char*>(buf) + (from - offset),
           it->second.data() + (from - sectorStart), static_cast<size_t>(to - from));
  }
  return CVoError();
}

void MemoryOverlay::put(int64_t first, const unsigned char* data, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    const unsigned char* from = data + i * kSector;
    sectors_[first + i].assign(from, from + kSector);
  }
}

bool MemoryOverlay::holds(int64_t offset, uint32_t size) const {
  auto it = sectors_.lower_bound(offset / kSector);
  return it != sectors_.end() && it->first * kSector < offset + static_cast<int64_t>(size);
}

}  // namespace fsbmp
