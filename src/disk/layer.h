// Layers between a region of a disk and what it holds: an md RAID member, a LUKS container. A
// layer knows which bytes of its region are its own metadata and where its contents lie; the
// contents (a file system, an LVM PV, a partition table, another layer) are opened and mapped as
// a disk's would be. Each format is a file of its own with a probe, and one row in layers.def.
#ifndef FSBMP_DISK_LAYER_H
#define FSBMP_DISK_LAYER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/device_view.h"
#include "fsbmp/fsbmp.h"
#include "fsbmp/fsbmpDisk.h"
#include "fsbmp/services/error.h"

namespace fsbmp {

// Receives byte ranges [from, from + length) of a region that may hold something in use.
using MarkRange = std::function<void(int64_t from, int64_t length)>;

// Layers inside layers are followed this deep at most; a region deeper counts used whole.
constexpr int kMaxLayerDepth = 8;

// What a probe is given besides the region.
struct LayerContext {
  const FsDisk::Options* options = nullptr;  // what the caller named: members, decrypted devices
  std::string name;  // the region in messages: "/dev/sdb#2", "/dev/sdb#2/vg0/home"
  int depth = 0;     // layers crossed to reach the region
  // Set by a probe when something the caller named does not fit (a decrypted device whose size
  // is not the data segment's): FsDisk::open then fails with it rather than guess. Valid only
  // during the probe: a layer that keeps its context must not use it later.
  CVoError* refusal = nullptr;
  // The decrypted devices (of FsDisk::Options) that containers have taken so far on the disk
  // being opened, shared by every region of it; null where a layer is probed on its own. Valid
  // only during the probe, as `refusal` is.
  std::vector<std::string>* claimed = nullptr;
  LayerContext inner(const std::string& suffix) const {
    LayerContext c = *this;
    c.name += suffix;
    ++c.depth;
    return c;
  }
};

class Layer {
 public:
  virtual ~Layer();
  // The format as info names it: "md", "LUKS1", "LUKS2".
  virtual std::string kind() const = 0;
  // Every byte range of the region that may hold anything in use goes to `mark`, in the region's
  // own offsets; the rest of the region is free. `offset` is where the region starts in the
  // bitmap's window and `chunk` the bitmap's chunk size: contents are best mapped at a grain that
  // divides both. On an error the caller counts the region used whole and logs why.
  virtual CVoError map(int64_t offset, int64_t chunk, const MarkRange& mark) = 0;
  // What info shows of it, in order ("level" = "raid1", "members" = 2, ...), ending with
  // "content": what it holds, or why that counts used.
  virtual std::vector<FsParser::Property> properties() const = 0;
  // FsDisk::setVerify passed on to the file systems inside, and their reports, named from
  // `prefix`.
  virtual void setVerify(bool on);
  virtual void verifyReports(const std::string& prefix, std::vector<FsDisk::Verified>* out) const;
};

// A format's probe. *found false: its signature is not in the region (err untouched). Found with
// *err set: the format is there but cannot be used safely, and the region counts used whole,
// the error saying why. Found without an error: the layer, opened.
using LayerProbe = std::unique_ptr<Layer> (*)(const std::shared_ptr<DeviceView>& view,
                                              int64_t length, const LayerContext& ctx, bool* found,
                                              CVoError* err);

// Tries each format of layers.def in its order.
std::unique_ptr<Layer> probeLayer(const std::shared_ptr<DeviceView>& view, int64_t length,
                                  const LayerContext& ctx, bool* found, CVoError* err);

// What a region inside a layer holds (an md array's data area, a decrypted device, a thin
// volume), opened: a file system, or anything a disk may hold (a partition table, an LVM PV,
// another layer).
class Contents {
 public:
  // Null when nothing is recognised, *err saying why: the caller counts the region used.
  static std::unique_ptr<Contents> open(const std::shared_ptr<DeviceView>& view, int64_t length,
                                        const LayerContext& ctx, CVoError* err);
  // The same for a device named by its path (a decrypted device): its file system, else what it
  // holds as a disk.
  static std::unique_ptr<Contents> openPath(const std::string& path, const LayerContext& ctx,
                                            CVoError* err);
  ~Contents();
  // Its used ranges, in its own offsets; `offset` and `chunk` as for Layer::map.
  CVoError map(int64_t offset, int64_t chunk, const MarkRange& mark);
  // "ext4, 4096-byte blocks"; "disk: GPT, 2 partitions"; "LVM physical volume ...".
  std::string describe() const;
  // The bytes it spans (the device's or view's length).
  int64_t length() const { return length_; }
  FsParser* parser() const { return parser_.get(); }
  FsDisk* disk() const { return disk_.get(); }
  void setVerify(bool on);
  void verifyReports(const std::string& prefix, std::vector<FsDisk::Verified>* out) const;

 private:
  Contents() = default;
  std::unique_ptr<FsParser> parser_;
  std::unique_ptr<FsDisk> disk_;
  int64_t length_ = 0;
};

// A parser's bitmap at the largest grain that is a multiple of its block size, at most `chunk`
// (when the block allows) and divides `offset`; each used grain's bytes go to `mark`.
CVoError mapParser(FsParser* parser, int64_t offset, int64_t chunk, const MarkRange& mark);

// What a disk opened on a view holds (FsDisk over a region: a table, a PV, a layer), as
// FsDisk::open reads a device; null with *err when it holds none of these.
FsDisk* openDiskOnView(const std::shared_ptr<DeviceView>& view, int64_t length,
                       const LayerContext& ctx, CVoError* err);
// The same on a device named by its path, `depth` layers down.
FsDisk* openDiskOnPath(const std::string& path, const FsDisk::Options& options, int depth,
                       CVoError* err);

}  // namespace fsbmp

#endif
