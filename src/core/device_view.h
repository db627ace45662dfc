// What a parser reads its device through. A view is a byte range [0, length) that maps onto reads
// of something underneath: the device or image file as it stands, a window onto a disk (a
// partition), or a table of extents (a logical volume). Views stack, so a later layer (blocks
// put in place by a journal replay, say) wraps whichever view the parser was given.
#ifndef FSBMP_DEVICE_VIEW_H
#define FSBMP_DEVICE_VIEW_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fsbmp/services/error.h"
#include "fsbmp/services/file.h"

namespace fsbmp {

class DeviceView {
 public:
  virtual ~DeviceView();

  // Reads up to `size` bytes from byte `offset` of the view into `buf`; *got receives how many
  // came. As with a file, a read that reaches the view's end is a success with a smaller count;
  // an offset at or past the end gives 0 bytes.
  virtual CVoError readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) = 0;
  // The view's length in bytes.
  virtual CVoError length(int64_t* bytes) = 0;
  // A hint that [offset, offset + size) will be read soon: the view may have the kernel start
  // reading it in the background. Never fails; by default it does nothing.
  virtual void willNeed(int64_t offset, int64_t size);
  // True when the byte at `offset` is in the page cache already, so that hints for it and what
  // lies near it would cost look-ups for nothing; false when it is not, or the view can't tell.
  virtual bool cached(int64_t offset);
  // True when the view is the device or image file itself, opened by its path: that path then
  // also measures the device and names it to other programs (fsdb).
  virtual bool isWholeFile() const { return false; }
};

// The identity view: a file as it stands, opened by its owner (the parser's devFile).
class FileView : public DeviceView {
 public:
  explicit FileView(CVoFile* file) : file_(file) {}
  CVoError readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) override;
  CVoError length(int64_t* bytes) override;
  void willNeed(int64_t offset, int64_t size) override;
  bool cached(int64_t offset) override;
  bool isWholeFile() const override { return true; }

 private:
  CVoFile* file_;
};

// Segments laid end to end, each spread over its stripes in turns of stripeSize bytes: a striped
// logical volume (a segment of one stripe is a plain run, as a linear volume's). Reads past the
// last segment come back short.
class StripedView : public DeviceView {
 public:
  struct Segment {
    int64_t length;                // bytes of the view, a multiple of stripeSize * stripes
    int64_t stripeSize;            // bytes; ignored for one stripe
    std::vector<int64_t> stripes;  // where each stripe starts in the view underneath
  };
  StripedView(std::shared_ptr<DeviceView> under, std::vector<Segment> segments);
  CVoError readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) override;
  CVoError length(int64_t* bytes) override;
  void willNeed(int64_t offset, int64_t size) override;
  bool cached(int64_t offset) override;
  // Calls fn(start, length) for each run underneath that bytes [offset, offset + size) of the view
  // occupy, in the view's order, as long as fn returns true; bytes past the end have none.
  void forEachRun(int64_t offset, int64_t size,
                  const std::function<bool(int64_t, int64_t)>& fn) const;

 private:
  std::shared_ptr<DeviceView> under_;
  std::vector<Segment> segments_;
  int64_t length_;
};

// Extents of another view laid end to end: one extent is a partition, several make a linear
// volume. Reads past the last extent come back short, as at the end of a device.
class ExtentView : public StripedView {
 public:
  struct Extent {
    int64_t start;   // byte offset in the view underneath
    int64_t length;  // bytes
  };
  ExtentView(std::shared_ptr<DeviceView> under, const std::vector<Extent>& extents);
};

// Blocks of a view put in place of others of the same view: a journal replayed in memory. A read
// of a block that `copies` names comes from the block it gives (the journal's copy); everything
// else from the view as it stands.
class BlockOverlay : public DeviceView {
 public:
  struct Copy {
    uint64_t at;       // block holding the copy
    bool jbd2Escaped;  // ext3/4: the copy's first four bytes stand for the journal's magic
  };
  // The copies come from `source`'s blocks (an external journal device), or from `under`'s.
  BlockOverlay(std::shared_ptr<DeviceView> under, int blockSize, std::map<uint64_t, Copy> copies,
               std::shared_ptr<DeviceView> source = nullptr);
  CVoError readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) override;
  CVoError length(int64_t* bytes) override { return under_->length(bytes); }
  // The blocks as they stand are hinted; copies are read from elsewhere, and rarely.
  void willNeed(int64_t offset, int64_t size) override { under_->willNeed(offset, size); }
  bool cached(int64_t offset) override { return under_->cached(offset); }

 private:
  std::shared_ptr<DeviceView> under_;
  std::shared_ptr<DeviceView> source_;
  int blockSize_;
  std::map<uint64_t, Copy> copies_;
};

// Sectors of a view put in place with contents assembled in memory: buffers that a log replay
// rebuilt from the logged pieces of each. A read of a sector that the overlay holds comes from
// memory; everything else from the view as it stands.
class MemoryOverlay : public DeviceView {
 public:
  static const int kSector = 512;
  explicit MemoryOverlay(std::shared_ptr<DeviceView> under) : under_(std::move(under)) {}
  CVoError readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) override;
  CVoError length(int64_t* bytes) override { return under_->length(bytes); }
  void willNeed(int64_t offset, int64_t size) override { under_->willNeed(offset, size); }
  bool cached(int64_t offset) override { return holds(offset, 1) || under_->cached(offset); }

  // Puts `count` sectors from `data` in place of the view's, from sector `first` on.
  void put(int64_t first, const unsigned char* data, int64_t count);
  // True when any sector of the `size` bytes from byte `offset` is held here.
  bool holds(int64_t offset, uint32_t size) const;
  // Bytes held in memory.
  uint64_t bytes() const { return static_cast<uint64_t>(sectors_.size()) * kSector; }

 private:
  std::shared_ptr<DeviceView> under_;
  std::map<int64_t, std::vector<unsigned char>> sectors_;
};

// Reads `count` blocks of `blockBytes` bytes from block `block` of `view` into `buf`; blocks
// past its end (or no block a view can have) fail with errno 28. Errors name `where`.
CVoError readViewBlocks(const JxCodeLocation& where, DeviceView* view, void* buf, int blockBytes,
                        long long block, int count);

}  // namespace fsbmp

#endif
