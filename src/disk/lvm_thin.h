// LVM thin pools, read through their metadata. A pool is three volumes of the VG: the pool itself
// (a "thin-pool" segment naming the other two), its hidden _tmeta (the device-mapper metadata:
// thin_metadata.h) and its _tdata (the pool's data blocks). Each thin volume ("thin" segment) is a
// device id in the metadata, its blocks mapped onto pool data blocks as they are first written;
// snapshots share blocks with their origin. Of the pool's extents the metadata counts used whole,
// and of its data only the blocks that some thin volume maps and uses: a thin volume whose file
// system is recognised marks the pool blocks under its used blocks, any other every block it maps.
#ifndef FSBMP_LVM_THIN_H
#define FSBMP_LVM_THIN_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/device_view.h"
#include "disk/layer.h"
#include "disk/lvm_pv.h"
#include "disk/thin_metadata.h"
#include "fsbmp/fsbmp.h"
#include "fsbmp/fsbmpDisk.h"

namespace fsbmp {

// A thin volume's blocks as its pool maps them: thin block b lies in data block d of the pool's
// data volume; blocks not mapped read as zeros.
class ThinView : public DeviceView {
 public:
  ThinView(std::shared_ptr<DeviceView> data, const ThinDevice* device, int64_t blockBytes,
           int64_t length)
      : data_(std::move(data)), device_(device), blockBytes_(blockBytes), length_(length) {}
  CVoError readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) override;
  CVoError length(int64_t* bytes) override {
    *bytes = length_;
    return CVoError();
  }

 private:
  std::shared_ptr<DeviceView> data_;
  const ThinDevice* device_;
  int64_t blockBytes_;
  int64_t length_;
};

class ThinPool {
 public:
  // A view of a volume of the VG and its length in bytes, or why none can be made.
  using Viewer =
      std::function<CVoError(const FsLogicalVolume&, std::shared_ptr<StripedView>*, int64_t*)>;
  // Whether to open the pool of volume `pool`, whose metadata and data volumes are `meta` and
  // `data` (-1: missing).
  using Wanted = std::function<bool(size_t pool, int meta, int data)>;
  // Volumes read through the extents of the PV in `pvView` alone.
  static Viewer onPv(const std::shared_ptr<DeviceView>& pvView, const LvmPv& pv);
  // Every thin pool of the VG in `pv` (or those `wanted`), its metadata and data read through
  // `viewOf`, with what info shows set on its volumes in *volumes. For a pool whose metadata and
  // data can be read and trusted, (*handled)[i] is the pool for the pool volume, its data volume
  // and its thin volumes: their extents are mapped by ThinPool::map, not counted used whole.
  // `name` names the PV in messages; `ctx` is the disk's, for what the thin volumes hold.
  static void openAll(const Viewer& viewOf, const LvmPv& pv, const std::string& name,
                      const LayerContext& ctx, std::vector<FsLogicalVolume>* volumes,
                      std::vector<std::shared_ptr<ThinPool>>* handled,
                      const Wanted& wanted = Wanted());
  // The index of the pool's own volume: the one whose map call marks the pool's data.
  size_t volume() const { return volume_; }
  // Marks each byte range of the view underneath the data volume's (the PV, or the disk for a
  // pool read across PVs) that holds a data block in use.
  void map(const MarkRange& mark);
  // FsDisk::setVerify passed on to what the thin volumes hold; the reports of thin volume
  // `volume`'s contents, named `name`.
  void setVerify(bool on);
  void verifyReports(size_t volume, const std::string& name,
                     std::vector<FsDisk::Verified>* out) const;

 private:
  struct Thin {
    size_t volume;  // index in the VG's volumes
    const ThinDevice* device;
    std::shared_ptr<ThinView> view;
    std::unique_ptr<Contents> contents;  // what it holds, when recognised
  };
  void markAll(const ThinDevice& d, std::vector<bool>* used) const;
  CVoError markUsed(const Thin& t, std::vector<bool>* used) const;

  size_t volume_ = 0;
  std::string name_;
  std::shared_ptr<StripedView> data_;
  ThinMetadata metadata_;
  int64_t blockBytes_ = 0;
  std::vector<Thin> thins_;
};

}  // namespace fsbmp

#endif
