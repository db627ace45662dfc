#include "core/device_view.h"

#include <fcntl.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "core/coding.h"

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

bool DeviceView::cached(int64_t) {
  return false;
}

bool FileView::cached(int64_t offset) {
  // A read that may not wait succeeds only from the page cache (and fails on kernels that can't
  // tell: then hints go out as they would without the question).
  if (!file_->isOpen() || offset < 0) return false;
  unsigned char byte;
  iovec one = {&byte, 1};
  return preadv2(file_->fd(), &one, 1, offset, RWF_NOWAIT) == 1;
}

CVoError FileView::length(int64_t* bytes) {
  // The descriptor's end. Moving the file position harms nothing: every read is positioned.
  *bytes = 0;
  return file_->Seek(0, SEEK_END, bytes);
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

bool StripedView::cached(int64_t offset) {
  bool in = false;
  if (offset >= 0) {
    forEachRun(offset, 1, [&](int64_t at, int64_t) {
      in = under_->cached(at);
      return false;
    });
  }
  return in;
}

namespace {

std::vector<StripedView::Segment> oneStripeEach(const std::vector<ExtentView::Extent>& extents) {
  std::vector<StripedView::Segment> segments;
  for (const ExtentView::Extent& e : extents) segments.push_back({e.length, 0, {e.start}});
  return segments;
}

}  // namespace

ExtentView::ExtentView(std::shared_ptr<DeviceView> under, const std::vector<Extent>& extents)
    : StripedView(std::move(under), oneStripeEach(extents)) {}

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

CVoError readViewBlocks(const JxCodeLocation& where, DeviceView* view, void* buf, int blockBytes,
                        long long block, int count) {
  // One positioned read: a walk over thousands of bitmap blocks issues one request each.
  const uint32_t want = static_cast<uint32_t>(blockBytes) * static_cast<uint32_t>(count);
  uint32_t got = 0;
  CVoError err;
  // A block number no device reaches (a damaged pointer) reads like one past the device's end.
  if (blockBytes > 0 && block >= 0 && block <= INT64_MAX / blockBytes)
    err = view->readAt(static_cast<int64_t>(block) * blockBytes, buf, want, &got);
  if (err.code < 0) {
    return err.Push(where, "Couldn't read blocks %lld-%lld of size %d", block, block + count - 1,
                    blockBytes);
  }
  if (got == want) return CVoError();
  return JxErrorUtil::ErrorErrNo(where, ENOSPC, "EOF while reading blocks %lld-%lld of size %d",
                                 block, block + count - 1, blockBytes);
}

}  // namespace fsbmp
