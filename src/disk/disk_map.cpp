// The disk map: which table a device holds, whether that makes it a disk rather than a file
// system, what each partition holds, and one bitmap over the whole device.
#include <dirent.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "core/chunks.h"
#include "core/coding.h"
#include "core/device.h"
#include "core/registry.h"
#include "disk/disk_layout.h"
#include "disk/disk_table.h"
#include "disk/layer.h"
#include "disk/lvm_pv.h"
#include "disk/lvm_thin.h"
#include "fsbmp/fsbmpDisk.h"
#include "vxfs/fsbmpVxFSLayout.h"

static const char kFile[] = "disk_map";
#define HERE JX_LOCATION(kFile)

namespace fsbmp {

int64_t logicalSectorBytes(int fd) {
  struct stat st;
  int bytes = 0;
  if (fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && ioctl(fd, BLKSSZGET, &bytes) == 0 &&
      bytes >= 512 && bytes <= 65536 && (bytes & (bytes - 1)) == 0)
    return bytes;
  return 512;
}

CVoError readPartitionTable(DeviceView* view, int64_t devBytes, int64_t sectorBytes,
                            DiskTable* table) {
  *table = DiskTable();
  MbrKind mbr = MbrKind::kNone;
  CVoError err = readMbr(view, devBytes, sectorBytes, &mbr, table);
  if (err.code < 0 || mbr == MbrKind::kPlain) return err;
  bool found = false;
  err = readGpt(view, devBytes, &found, table);
  if (err.code < 0) return err;
  table->sectorZeroMbr = mbr == MbrKind::kProtective;
  if (!found && mbr == MbrKind::kProtective) {
    *table = DiskTable();
    return JxErrorUtil::ErrorErrNo(
        HERE, ENOSYS, "Sector 0 holds a GPT protective MBR, but neither GPT header verifies");
  }
  return CVoError();
}

namespace {

// A device, opened and measured, with the table it holds.
struct OpenedDevice {
  CVoFile file;
  std::shared_ptr<DeviceView> view;
  int64_t bytes = 0;
  DiskTable table;
};

CVoError readTable(const std::string& dev, int64_t sectorBytes, OpenedDevice* d) {
  CVoError err = readPartitionTable(d->view.get(), d->bytes, sectorBytes, &d->table);
  if (err.code < 0) return err.Push(HERE, "%s holds a damaged partition table", dev.c_str());
  return CVoError();
}

CVoError openDevice(const std::string& dev, OpenedDevice* d) {
  CVoError err = d->file.Open(dev.c_str(), kDeviceOpenFlags, kDeviceOpenMode);
  if (err.code < 0) return err.Push(HERE, "Couldn't open %s for reading", dev.c_str());
  d->view = std::make_shared<FileView>(&d->file);
  err = d->view->length(&d->bytes);
  if (err.code < 0) return err.Push(HERE, "Couldn't measure %s", dev.c_str());
  return readTable(dev, logicalSectorBytes(d->file.fd()), d);
}

// Whether the table outweighs a file system found on the whole device. Every mkfs of ext2/3/4,
// XFS and ReiserFS zeroes sector 0 and LBA 1 of the device it is made on (mke2fs and mkreiserfs
// zap them, mkfs.xfs writes its superblock and AGF there), so a sane MBR in sector 0 or a GPT
// header that verifies at LBA 1 was written after any file system still visible behind it: the
// file system is a leftover in the gap before the first partition, and the device is a disk.
// A GPT found only at the end of the device, with no protective MBR in front, is the other way
// round: mkreiserfs (among others) leaves the backup GPT of an earlier table in place, so there
// a file system that is recognised wins, and the backup decides only when none is.
bool tableIsDecisive(const DiskTable& t) {
  return t.kind == DiskTable::kMbr ||
         (t.kind == DiskTable::kGpt && (!t.fromBackup || t.sectorZeroMbr));
}

CVoError diskRefusal(const std::string& dev, const DiskTable& t) {
  return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                 "%s holds a partition table (%s%s, %zu partition%s): map it as "
                                 "a disk",
                                 dev.c_str(), t.name(), t.fromBackup ? " from its backup" : "",
                                 t.slots.size(), t.slots.size() == 1 ? "" : "s");
}

// A Linux swap area: its signature in the last bytes of the first page. *page receives the page
// size and *end the byte where the area ends, at most the partition's length.
FsPartition::Content probeSwap(DeviceView* view, int64_t length, int64_t* page, int64_t* end) {
  for (int size : kSwapPageSizes) {
    if (length < size) break;
    unsigned char sig[sizeof kSwapSignature];
    uint32_t got = 0;
    if (view->readAt(size - static_cast<int64_t>(sizeof sig), sig, sizeof sig, &got).code < 0 ||
        got != sizeof sig)
      break;
    for (const char* h : kHibernationSignatures) {
      if (!memcmp(sig, h, strlen(h))) return FsPartition::kHibernation;
    }
    if (memcmp(sig, kSwapSignature, sizeof sig) != 0) continue;
    // version and last_page, in the byte order of the machine that wrote them
    unsigned char info[8];
    if (view->readAt(kOffSwapVersion, info, sizeof info, &got).code < 0 || got != sizeof info)
      break;
    uint64_t lastPage;
    if (decodeLE32(info) == kSwapVersion) {
      lastPage = decodeLE32(info + kOffSwapLastPage);
    } else if (decodeBE32(info) == kSwapVersion) {
      lastPage = decodeBE32(info + kOffSwapLastPage);
    } else {
      break;
    }
    *page = size;
    const uint64_t bytes = (lastPage + 1) * static_cast<uint64_t>(size);
    *end = bytes < static_cast<uint64_t>(length) ? static_cast<int64_t>(bytes) : length;
    return FsPartition::kSwap;
  }
  return FsPartition::kUnknown;
}

}  // namespace

std::string readSysfsLine(const std::string& path) {
  CVoFile f;
  if (f.Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0).code < 0) return "";
  char text[256] = {};
  uint32_t got = 0;
  if (f.Read(text, sizeof text - 1, &got).code < 0) return "";
  std::string line(text, got);
  line = line.substr(0, line.find('\n'));
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

CVoError measureDevice(const std::string& path, int64_t* bytes) {
  CVoFile f;
  CVoError err = f.Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (err.code >= 0) err = f.Seek(0, SEEK_END, bytes);
  return err;
}

std::string partitionNode(int fd, int number) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || number < 1) return "";
  const std::string base = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                           std::to_string(minor(st.st_rdev));
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(base.c_str()), closedir);
  if (!dir) return "";
  while (const struct dirent* e = readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." ||
        readSysfsLine(base + "/" + name + "/partition") != std::to_string(number))
      continue;
    const std::string node = "/dev/" + name;
    struct stat ns;
    const std::string dev = readSysfsLine(base + "/" + name + "/dev");
    if (stat(node.c_str(), &ns) == 0 && S_ISBLK(ns.st_mode) &&
        dev == std::to_string(major(ns.st_rdev)) + ":" + std::to_string(minor(ns.st_rdev)))
      return node;
  }
  return "";
}

FsParser* probeWholeDevice(const std::string& dev, CVoError* err,
                           std::vector<FsParser::Refusal>* refusals) {
  OpenedDevice d;
  CVoError tableErr = openDevice(dev, &d);
  if (tableErr.code < 0 && tableErr.errNo() == ENOSYS) {
    *err = tableErr.Push(HERE, "%s is a disk: map it as a disk", dev.c_str());
    return nullptr;
  }
  // A device that cannot be read is the parsers' to report, as they always have.
  if (tableErr.code >= 0 && tableIsDecisive(d.table)) {
    *err = diskRefusal(dev, d.table);
    return nullptr;
  }
  if (tableErr.code >= 0 && d.table.kind == DiskTable::kNone) {
    // An md member or a LUKS container on the whole device: a RAID1 member with its superblock
    // at the end starts with a file system that is not all the device holds.
    LayerContext ctx;
    ctx.name = dev;
    bool found = false;
    CVoError layerErr;
    std::unique_ptr<Layer> layer = probeLayer(d.view, d.bytes, ctx, &found, &layerErr);
    if (found) {
      *err = JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s is %s: map it as a disk", dev.c_str(),
                                     layer ? layer->kind().c_str() : layerErr.message().c_str());
      return nullptr;
    }
  }
  FsParser* p = probeView(nullptr, dev, err, refusals);
  if (!p && tableErr.code >= 0 && d.table.kind != DiskTable::kNone)
    *err = diskRefusal(dev, d.table);
  return p;
}

}  // namespace fsbmp

namespace fsbmp {

// A logical volume: the view through its extents and its parser, when its file system is read.
struct OpenedVolume {
  std::shared_ptr<StripedView> view;
  std::unique_ptr<FsParser> parser;
  std::unique_ptr<Layer> layer;    // a layer in the volume (LUKS) when no file system is
  int64_t base = 0;                // where the view's offsets start on the disk
  bool elsewhere = false;          // readable but for extents on other PVs of the VG
  std::shared_ptr<ThinPool> thin;  // a thin pool's own volume, its data or a thin volume of it
  LvmThinSegment thinSegment;      // its thin-pool or thin segment's settings
};

}  // namespace fsbmp

struct FsDisk::Impl {
  fsbmp::OpenedDevice device;
  std::string dev;
  FsDisk::Options options;
  fsbmp::LayerContext ctx;  // for the regions of this disk
  bool onPath = true;       // the device was opened by its path, not given as a view
  std::string label;
  std::vector<FsPartition> partitions;
  // Per partition: its parser when it holds a file system; its swap area's page and end.
  std::vector<std::unique_ptr<FsParser>> parsers;
  std::vector<int64_t> swapPage;
  std::vector<int64_t> swapEnd;
  // Per partition holding a PV: its volumes, opened.
  std::vector<std::vector<fsbmp::OpenedVolume>> volumes;
  // Per partition: its layer, when it holds one.
  std::vector<std::unique_ptr<fsbmp::Layer>> layers;
  PdDebug debug;
};

FsDisk::FsDisk(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
FsDisk::~FsDisk() {}

const std::string& FsDisk::label() const {
  return impl_->label;
}
bool FsDisk::fromBackup() const {
  return impl_->device.table.fromBackup;
}
long long FsDisk::size() const {
  return impl_->device.bytes;
}
const std::vector<FsPartition>& FsDisk::partitions() const {
  return impl_->partitions;
}

namespace {

// Probes the file system of a volume opened through v->view, named `name` in messages, and
// records in *lv what was found, or why nothing was.
void probeVolume(const std::string& name, const fsbmp::LayerContext& diskCtx,
                 fsbmp::OpenedVolume* v, FsLogicalVolume* lv) {
  CVoError probeErr;
  v->parser.reset(fsbmp::probeView(v->view, name, &probeErr));
  if (v->parser) {
    lv->mapped = true;
    lv->fsType = v->parser->fsType;
    lv->blockSize = v->parser->blockSize;
    lv->why.clear();
    return;
  }
  int64_t length = 0;
  v->view->length(&length);
  fsbmp::LayerContext ctx = diskCtx;
  ctx.name = name;
  bool found = false;
  CVoError layerErr;
  v->layer = fsbmp::probeLayer(v->view, length, ctx, &found, &layerErr);
  if (v->layer) {
    lv->mapped = true;
    lv->layer = v->layer->kind();
    lv->layerInfo = v->layer->properties();
    lv->why.clear();
  } else if (found) {
    lv->why = layerErr.message();
  } else {
    lv->why = "no file system recognised: " + probeErr.message();
  }
}

// An LVM2 PV in `view`: its extents and volumes into *part (content kLvmPv), each volume that
// may be read through its extents probed. *isPv false: no PV label. An error: a PV that cannot
// be read safely.
CVoError readPv(const std::shared_ptr<fsbmp::DeviceView>& view, const std::string& name,
                const fsbmp::LayerContext& ctx, bool* isPv, FsPartition* part,
                std::vector<fsbmp::OpenedVolume>* volumes) {
  fsbmp::LvmPv pv;
  CVoError err = fsbmp::readLvmPv(view.get(), part->length, isPv, &pv);
  if (!*isPv || err.code < 0) return err;
  part->content = FsPartition::kLvmPv;
  part->vg = pv.vg;
  part->pvName = pv.pvName;
  part->extentSize = pv.extentSize;
  part->peStart = pv.peStart;
  part->peCount = pv.peCount;
  part->volumes = pv.volumes;
  for (size_t i = 0; i < part->volumes.size(); ++i) {
    FsLogicalVolume& lv = part->volumes[i];
    fsbmp::OpenedVolume v;
    v.base = part->start;
    v.elsewhere = pv.elsewhere[i];
    if (lv.why.empty()) {
      v.view = std::make_shared<fsbmp::StripedView>(view, fsbmp::lvmSegmentsOnPv(pv, lv));
      probeVolume(name + "/" + pv.vg + "/" + lv.name, ctx, &v, &lv);
    }
    volumes->push_back(std::move(v));
  }
  std::vector<std::shared_ptr<fsbmp::ThinPool>> pools;
  fsbmp::ThinPool::openAll(fsbmp::ThinPool::onPv(view, pv), pv, name, ctx, &part->volumes, &pools);
  for (size_t i = 0; i < pools.size(); ++i) (*volumes)[i].thin = pools[i];
  for (size_t i = 0; i < volumes->size() && i < pv.thin.size(); ++i)
    (*volumes)[i].thinSegment = pv.thin[i];
  return CVoError();
}

// Where partition `part`'s VG has PV `name` on this disk: the disk offset of its first extent, or
// -1 when no partition of the disk is that PV of the same VG.
int64_t pvStartOnDisk(const std::vector<FsPartition>& parts, const FsPartition& part,
                      const std::string& name) {
  for (const FsPartition& other : parts) {
    if (other.content == FsPartition::kLvmPv && other.vg == part.vg && other.pvName == name &&
        other.extentSize == part.extentSize)
      return other.start + other.peStart;
  }
  return -1;
}

// What readPv read of partition `part`'s PV, again: enough to open volumes through the disk.
fsbmp::LvmPv pvOf(const FsPartition& part, const std::vector<fsbmp::OpenedVolume>& opened) {
  fsbmp::LvmPv pv;
  pv.vg = part.vg;
  pv.pvName = part.pvName;
  pv.extentSize = part.extentSize;
  pv.peStart = part.peStart;
  pv.peCount = part.peCount;
  pv.volumes = part.volumes;
  for (const fsbmp::OpenedVolume& v : opened) pv.thin.push_back(v.thinSegment);
  return pv;
}

// Volumes that need extents on other PVs of their VG, when those PVs are partitions of this disk
// too (same VG, same extent size): read through a view of the whole disk, from each PV that holds
// part of them (each maps the same file system; the bitmap takes the union). A thin pool whose
// metadata or data needs them is opened once, from the first such PV, and its volumes on the
// VG's other PVs point at it, so that its data is marked once.
void readAcrossPvs(const std::string& dev, const fsbmp::LayerContext& ctx,
                   const std::shared_ptr<fsbmp::DeviceView>& disk, std::vector<FsPartition>& parts,
                   std::vector<std::vector<fsbmp::OpenedVolume>>* opened) {
  for (size_t i = 0; i < parts.size(); ++i) {
    FsPartition& part = parts[i];
    if (part.content != FsPartition::kLvmPv) continue;
    const fsbmp::LvmPv pv = pvOf(part, (*opened)[i]);
    const auto pvStart = [&](const std::string& name) { return pvStartOnDisk(parts, part, name); };
    for (size_t k = 0; k < part.volumes.size(); ++k) {
      FsLogicalVolume& lv = part.volumes[k];
      fsbmp::OpenedVolume& v = (*opened)[i][k];
      if (!v.elsewhere) continue;
      int64_t length = 0;
      if (fsbmp::lvmVolumeView(pv, lv, disk, pvStart, &v.view, &length).code < 0) continue;
      v.base = 0;
      probeVolume(dev + "/" + part.vg + "/" + lv.name, ctx, &v, &lv);
    }
    // Thin pools not opened from one PV alone, whose metadata or data lies partly elsewhere.
    const std::vector<fsbmp::OpenedVolume>& here = (*opened)[i];
    const auto onOtherPvs = [&](int v) {
      std::string why, elsewhere;
      fsbmp::lvmLayout(pv, pv.volumes[static_cast<size_t>(v)], &why, &elsewhere);
      return why.empty() && !elsewhere.empty();
    };
    std::vector<std::shared_ptr<fsbmp::ThinPool>> pools;
    fsbmp::ThinPool::openAll(
        [&](const FsLogicalVolume& lv, std::shared_ptr<fsbmp::StripedView>* view, int64_t* length) {
          return fsbmp::lvmVolumeView(pv, lv, disk, pvStart, view, length);
        },
        pv, dev, ctx, &part.volumes, &pools,
        [&](size_t pool, int meta, int data) {
          return !here[pool].thin && meta >= 0 && data >= 0 &&
                 !here[static_cast<size_t>(data)].thin && (onOtherPvs(meta) || onOtherPvs(data));
        });
    for (size_t k = 0; k < pools.size(); ++k) {
      if (!pools[k]) continue;
      (*opened)[i][k].thin = pools[k];
      (*opened)[i][k].base = 0;
      // The same volumes on the VG's other PVs of this disk: handled by this pool, shown as here.
      for (size_t j = 0; j < parts.size(); ++j) {
        if (j == i || parts[j].content != FsPartition::kLvmPv || parts[j].vg != part.vg ||
            k >= parts[j].volumes.size() || parts[j].volumes[k].name != part.volumes[k].name)
          continue;
        if (k != pools[k]->volume()) (*opened)[j][k].thin = pools[k];
        parts[j].volumes[k] = part.volumes[k];
      }
    }
  }
}

}  // namespace

// VxFS in a partition of a block device: fsdb reads it through the partition's own device node.
// Null, the partition's `why` saying so, where the node cannot be found (an image file).
std::unique_ptr<FsParser> openVxfsPartition(int fd, fsbmp::DeviceView* view, FsPartition& part) {
  using fsbmp::vxfs::kMagic;
  unsigned char magic[sizeof kMagic];
  uint32_t got = 0;
  if (view->readAt(fsbmp::vxfs::kSuperblockOffset, magic, sizeof magic, &got).code < 0 ||
      got != sizeof magic || memcmp(magic, kMagic, sizeof magic) != 0)
    return nullptr;
  const std::string node = fsbmp::partitionNode(fd, part.number);
  if (node.empty()) {
    part.why = "partition " + std::to_string(part.number) +
               " holds VxFS, which fsdb reads only through a device node: none was found (an "
               "image file), so it counts used";
    return nullptr;
  }
  CVoError err;
  std::unique_ptr<FsParser> parser(fsbmp::fileSystemType(FsParser::kVxFS)->onPath(node, &err));
  if (err.code < 0) {
    part.why = err.message();
    return nullptr;
  }
  if (parser->devSize != part.length) {
    part.why = node + " is not partition " + std::to_string(part.number) + " as the table has it";
    return nullptr;
  }
  return parser;
}

// Opens a disk: by its path (FsDisk::open, Contents::openPath) or on a view (Contents::open).
struct FsDiskOpener {
  static FsDisk* onPath(const std::string& dev, const FsDisk::Options& options, int depth,
                        CVoError* err) {
    std::unique_ptr<FsDisk::Impl> impl(new FsDisk::Impl());
    impl->dev = dev;
    impl->options = options;
    *err = fsbmp::openDevice(dev, &impl->device);
    if (err->code < 0) return nullptr;
    return build(std::move(impl), depth, nullptr, err);
  }

  static FsDisk* onView(const std::shared_ptr<fsbmp::DeviceView>& view, int64_t length,
                        const fsbmp::LayerContext& ctx, CVoError* err) {
    std::unique_ptr<FsDisk::Impl> impl(new FsDisk::Impl());
    impl->dev = ctx.name;
    if (ctx.options) impl->options = *ctx.options;
    impl->onPath = false;
    impl->device.view = view;
    impl->device.bytes = length;
    *err = fsbmp::readTable(ctx.name, 512, &impl->device);
    if (err->code < 0) return nullptr;
    return build(std::move(impl), ctx.depth, ctx.claimed, err);
  }

  // `claimedBy`: the decrypted devices taken so far on the disk this one lies inside (null for
  // a disk opened by itself, which, at depth 0, refuses at the end a named device that no
  // container took).
  static FsDisk* build(std::unique_ptr<FsDisk::Impl> impl, int depth,
                       std::vector<std::string>* claimedBy, CVoError* err);
};

FsDisk* FsDiskOpener::build(std::unique_ptr<FsDisk::Impl> impl, int depth,
                            std::vector<std::string>* claimedBy, CVoError* err) {
  const std::string& dev = impl->dev;
  CVoError refusal;
  impl->ctx.options = &impl->options;
  impl->ctx.name = dev;
  impl->ctx.depth = depth;
  impl->ctx.refusal = &refusal;
  std::vector<std::string> claimed;
  impl->ctx.claimed = claimedBy ? claimedBy : &claimed;
  const fsbmp::DiskTable& table = impl->device.table;
  if (table.kind != fsbmp::DiskTable::kNone && !fsbmp::tableIsDecisive(table)) {
    CVoError probeErr;
    std::unique_ptr<FsParser> whole(
        fsbmp::probeView(impl->onPath ? nullptr : impl->device.view, dev, &probeErr));
    if (whole) {
      *err = JxErrorUtil::ErrorErrNo(
          HERE, ENOSYS,
          "%s holds a file system, behind which only the backup of an earlier GPT survives: map "
          "it as a file system",
          dev.c_str());
      return nullptr;
    }
  }
  impl->label = table.name();
  std::vector<fsbmp::TableSlot> slots = table.slots;
  const bool whole = table.kind == fsbmp::DiskTable::kNone;
  if (whole) slots.push_back({0, 0, impl->device.bytes, "whole"});
  for (const fsbmp::TableSlot& slot : slots) {
    FsPartition part;
    part.number = slot.number;
    part.start = slot.start;
    part.length = slot.length;
    part.type = slot.type;
    auto view = std::make_shared<fsbmp::ExtentView>(
        impl->device.view, std::vector<fsbmp::ExtentView::Extent>{{slot.start, slot.length}});
    int64_t page = 0, swapEnd = 0;
    const std::string name = whole ? dev : dev + "#" + std::to_string(slot.number);
    fsbmp::LayerContext ctx = impl->ctx;
    ctx.name = name;
    std::vector<fsbmp::OpenedVolume> volumes;
    std::unique_ptr<FsParser> parser;
    bool isLayer = false, isPv = false;
    CVoError layerErr;
    std::unique_ptr<fsbmp::Layer> layer =
        fsbmp::probeLayer(view, slot.length, ctx, &isLayer, &layerErr);
    if (refusal.code < 0) {
      *err = refusal;
      return nullptr;
    }
    CVoError pvErr;
    if (layer) {
      part.content = FsPartition::kLayer;
      part.layer = layer->kind();
      part.layerInfo = layer->properties();
    } else if (isLayer) {
      part.why = layerErr.message() + ": counted used whole";
    } else {
      pvErr = readPv(view, name, ctx, &isPv, &part, &volumes);
    }
    if (whole && !isLayer && !isPv) {
      *err = JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                     "%s holds no partition table, no LVM physical volume, no "
                                     "md RAID member and no LUKS container",
                                     dev.c_str());
      return nullptr;
    }
    if (whole) {
      impl->label = isPv ? "LVM" : layer ? part.layer : "layer";
      part.type = isPv ? "lvm" : "whole";
    }
    if (!isLayer) {
      FsPartition::Content swap =
          isPv ? FsPartition::kUnknown : fsbmp::probeSwap(view.get(), slot.length, &page, &swapEnd);
      if (isPv) {
        if (pvErr.code < 0) part.why = pvErr.message() + ": counted used whole";
      } else if (swap != FsPartition::kHibernation) {
        CVoError probeErr;
        parser.reset(fsbmp::probeView(view, name, &probeErr));
        if (!parser) part.why = probeErr.message();
        if (!parser && impl->onPath)
          parser = openVxfsPartition(impl->device.file.fd(), view.get(), part);
      }
      if (parser) {
        part.content = FsPartition::kFileSystem;
        part.fsType = parser->fsType;
        part.blockSize = parser->blockSize;
      } else if (!isPv || pvErr.code < 0) {
        part.content = swap;
      }
    }
    impl->debug.Debug("FsDisk::open", "%s: %lld+%lld type %s content %d", name.c_str(), part.start,
                      part.length, part.type.c_str(), static_cast<int>(part.content));
    impl->partitions.push_back(part);
    impl->parsers.push_back(std::move(parser));
    impl->swapPage.push_back(page);
    impl->swapEnd.push_back(swapEnd);
    impl->volumes.push_back(std::move(volumes));
    impl->layers.push_back(std::move(layer));
  }
  readAcrossPvs(dev, impl->ctx, impl->device.view, impl->partitions, &impl->volumes);
  impl->ctx.refusal = nullptr;  // they live only while the disk is opened
  impl->ctx.claimed = nullptr;
  if (refusal.code < 0) {
    *err = refusal;
    return nullptr;
  }
  if (!claimedBy && depth == 0) {
    // The disk read whole: a decrypted device that no container took decrypts something else.
    for (const std::string& path : impl->options.decrypted) {
      if (std::find(claimed.begin(), claimed.end(), path) != claimed.end()) continue;
      int64_t bytes = -1;
      fsbmp::measureDevice(path, &bytes);
      *err = JxErrorUtil::ErrorErrNo(HERE, EINVAL,
                                     "The decrypted device %s holds %lld bytes, but no LUKS "
                                     "container on %s has a data segment of that size",
                                     path.c_str(), static_cast<long long>(bytes), dev.c_str());
      return nullptr;
    }
  }
  *err = CVoError();
  return new FsDisk(std::move(impl));
}

FsDisk* fsbmp::openDiskOnView(const std::shared_ptr<DeviceView>& view, int64_t length,
                              const LayerContext& ctx, CVoError* err) {
  return FsDiskOpener::onView(view, length, ctx, err);
}

FsDisk* fsbmp::openDiskOnPath(const std::string& path, const FsDisk::Options& options, int depth,
                              CVoError* err) {
  return FsDiskOpener::onPath(path, options, depth, err);
}

FsDisk* FsDisk::open(const std::string& dev, CVoError* err) {
  return FsDiskOpener::onPath(dev, Options(), 0, err);
}

FsDisk* FsDisk::open(const std::string& dev, const Options& options, CVoError* err) {
  return FsDiskOpener::onPath(dev, options, 0, err);
}

namespace {

// A bitmap under construction over a window of the disk that starts at byte `origin`: the
// whole disk, or one partition taken as a device of its own. Offsets given to it are the disk's.
struct Canvas {
  unsigned char* bitmap;
  uint64_t nChunks;
  int64_t chunk;
  int64_t origin;

  // Clears the chunks that lie wholly inside bytes [begin, end).
  void clearInside(int64_t begin, int64_t end) const {
    begin = std::max<int64_t>(begin - origin, 0);
    end -= origin;
    if (end <= begin) return;
    uint64_t first = static_cast<uint64_t>((begin + chunk - 1) / chunk);
    uint64_t last = static_cast<uint64_t>(end / chunk);
    if (last > nChunks) last = nChunks;
    if (first < last) fsbmp::clearChunkRange(bitmap, first, last);
  }

  // Sets every chunk that bytes [begin, end) touch.
  void setTouched(int64_t begin, int64_t end) const {
    begin = std::max<int64_t>(begin - origin, 0);
    end -= origin;
    if (end <= begin) return;
    uint64_t first = static_cast<uint64_t>(begin / chunk);
    uint64_t last = static_cast<uint64_t>((end + chunk - 1) / chunk);
    if (last > nChunks) last = nChunks;
    if (first < last) fsbmp::setChunkRange(bitmap, first, last);
  }
};

// A partition's file system: its used chunks onto the disk chunks they touch.
CVoError orPartition(FsParser* parser, const FsPartition& part, const Canvas& canvas) {
  const int64_t end = part.start + part.length;
  return fsbmp::mapParser(parser, part.start - canvas.origin, canvas.chunk,
                          [&](int64_t from, int64_t length) {
                            from += part.start;
                            if (from < end) canvas.setTouched(from, std::min(from + length, end));
                          });
}

// A partition's layer: its metadata and the used parts of its contents.
CVoError orLayer(fsbmp::Layer* layer, const FsPartition& part, const Canvas& canvas) {
  const int64_t end = part.start + part.length;
  return layer->map(part.start - canvas.origin, canvas.chunk, [&](int64_t from, int64_t length) {
    if (from < 0 || length <= 0) return;
    from += part.start;
    if (from < end) canvas.setTouched(from, std::min(from + length, end));
  });
}

// A PV: its extents are free but for those of its volumes; a volume whose file system is read
// marks what that uses, through its extents; every other volume all its extents here.
void orPhysicalVolume(const FsPartition& part, std::vector<fsbmp::OpenedVolume>* volumes,
                      const Canvas& canvas, PdDebug* debug) {
  for (size_t i = 0; i < part.volumes.size(); ++i) {
    const FsLogicalVolume& lv = part.volumes[i];
    fsbmp::OpenedVolume& v = (*volumes)[i];
    if (v.thin) {
      if (v.thin->volume() == i)
        v.thin->map(
            [&](int64_t at, int64_t n) { canvas.setTouched(v.base + at, v.base + at + n); });
      continue;
    }
    if (lv.mapped) {
      const auto mark = [&](int64_t from, int64_t length) {
        if (from < 0 || length <= 0) return;
        v.view->forEachRun(from, length, [&](int64_t at, int64_t run) {
          canvas.setTouched(v.base + at, v.base + at + run);
          return true;
        });
      };
      const int64_t offset = part.start + part.peStart - canvas.origin;
      CVoError err = v.parser ? fsbmp::mapParser(v.parser.get(), offset, canvas.chunk, mark)
                              : v.layer->map(offset, canvas.chunk, mark);
      if (err.code >= 0) continue;
      debug->Debug("FsDisk::getBmp", "volume %s counted used: %s", lv.name.c_str(),
                   err.message().c_str());
    }
    for (const FsLvSegment& s : lv.segments) {
      for (const FsLvSegment::Stripe& st : s.stripes) {
        if (st.pv != part.pvName) continue;
        const int64_t from = part.start + part.peStart + st.firstExtent * part.extentSize;
        const int64_t perStripe = s.extentCount / static_cast<int64_t>(s.stripes.size());
        canvas.setTouched(from, from + perStripe * part.extentSize);
      }
    }
  }
}

}  // namespace

void FsDisk::setVerify(bool on) {
  const auto pass = [on](FsParser* parser) {
    if (parser && (parser->fsType == FsParser::kExt2 || parser->fsType == FsParser::kXFS))
      parser->setVerify(on);
  };
  for (const auto& parser : impl_->parsers) pass(parser.get());
  for (const auto& volumes : impl_->volumes) {
    for (const fsbmp::OpenedVolume& v : volumes) {
      pass(v.parser.get());
      if (v.layer) v.layer->setVerify(on);
      if (v.thin) v.thin->setVerify(on);
    }
  }
  for (const auto& layer : impl_->layers)
    if (layer) layer->setVerify(on);
}

std::vector<FsDisk::Verified> FsDisk::verifyReports() const {
  std::vector<Verified> out;
  for (size_t i = 0; i < impl_->partitions.size(); ++i) {
    const FsPartition& p = impl_->partitions[i];
    if (i < impl_->parsers.size() && impl_->parsers[i] && impl_->parsers[i]->verifyReport().ran)
      out.push_back({"partition " + std::to_string(p.number), impl_->parsers[i]->verifyReport()});
    if (i < impl_->layers.size() && impl_->layers[i])
      impl_->layers[i]->verifyReports("partition " + std::to_string(p.number), &out);
    if (i >= impl_->volumes.size()) continue;
    for (size_t k = 0; k < impl_->volumes[i].size() && k < p.volumes.size(); ++k) {
      const FsParser* parser = impl_->volumes[i][k].parser.get();
      const std::string name = "volume " + p.vg + "/" + p.volumes[k].name;
      if (parser && parser->verifyReport().ran) out.push_back({name, parser->verifyReport()});
      if (impl_->volumes[i][k].layer) impl_->volumes[i][k].layer->verifyReports(name, &out);
      // A pool read across PVs reports from its own volume's PV alone.
      const std::shared_ptr<fsbmp::ThinPool>& thin = impl_->volumes[i][k].thin;
      if (thin && thin->volume() < impl_->volumes[i].size() &&
          impl_->volumes[i][thin->volume()].thin == thin)
        thin->verifyReports(k, name, &out);
    }
  }
  return out;
}

CVoError FsDisk::getBmp(int chunkSize, void** bmp, long long* bmpSize) {
  std::vector<size_t> all;
  for (size_t i = 0; i < impl_->partitions.size(); ++i) all.push_back(i);
  return mapWindow(0, impl_->device.bytes, all, chunkSize, bmp, bmpSize);
}

CVoError FsDisk::getPartitionBmp(int number, int chunkSize, void** bmp, long long* bmpSize) {
  *bmp = nullptr;
  *bmpSize = 0;
  for (size_t i = 0; i < impl_->partitions.size(); ++i) {
    const FsPartition& p = impl_->partitions[i];
    if (p.number == number) return mapWindow(p.start, p.length, {i}, chunkSize, bmp, bmpSize);
  }
  return JxErrorUtil::ErrorErrNo(HERE, EINVAL, "%s has no partition %d", impl_->dev.c_str(),
                                 number);
}

CVoError FsDisk::mapWindow(long long origin, long long length, const std::vector<size_t>& which,
                           int chunkSize, void** bmp, long long* bmpSize) {
  *bmp = nullptr;
  *bmpSize = 0;
  CVoError err = fsbmp::checkChunkSize(HERE, chunkSize, 512);
  if (err.code < 0) return err;
  const int64_t chunk = chunkSize;
  const uint64_t nChunks = static_cast<uint64_t>((length + chunk - 1) / chunk);
  err = fsbmp::checkChunkCount(HERE, nChunks, chunkSize, fsbmp::kMaxChunks);
  if (err.code < 0) return err;
  FsParserAutoChunkBmp holder;
  err = holder.init(static_cast<size_t>((nChunks + 7) / 8));
  if (err.code < 0) return err.Push(HERE, "Couldn't allocate the disk's bitmap");
  const Canvas canvas{holder.bitmap, nChunks, chunk, origin};

  // Everything is used, until a partition's contents say otherwise: the tables, the gaps and the
  // boot loaders in them stay used.
  fsbmp::setChunkRange(holder.bitmap, 0, nChunks);
  const std::vector<FsPartition>& parts = impl_->partitions;
  for (size_t i : which) {
    const FsPartition& p = parts[i];
    if (p.content == FsPartition::kFileSystem || p.content == FsPartition::kLayer)
      canvas.clearInside(p.start, p.start + p.length);
    else if (p.content == FsPartition::kLvmPv)
      canvas.clearInside(p.start + p.peStart, p.start + p.peStart + p.peCount * p.extentSize);
    else if (p.content == FsPartition::kSwap)
      canvas.clearInside(p.start + impl_->swapPage[i], p.start + impl_->swapEnd[i]);
  }
  for (size_t i : which) {
    if (parts[i].content == FsPartition::kLvmPv)
      orPhysicalVolume(parts[i], &impl_->volumes[i], canvas, &impl_->debug);
    if (parts[i].content == FsPartition::kLayer) {
      err = orLayer(impl_->layers[i].get(), parts[i], canvas);
      if (err.code < 0) {
        impl_->debug.Debug("FsDisk::getBmp", "partition %d (%s) counted used: %s", parts[i].number,
                           parts[i].layer.c_str(), err.message().c_str());
        canvas.setTouched(parts[i].start, parts[i].start + parts[i].length);
      }
    }
    if (parts[i].content != FsPartition::kFileSystem) continue;
    err = orPartition(impl_->parsers[i].get(), parts[i], canvas);
    if (err.code < 0) {
      // A file system that cannot be mapped is kept whole.
      impl_->debug.Debug("FsDisk::getBmp", "partition %d counted used: %s", parts[i].number,
                         err.message().c_str());
      canvas.setTouched(parts[i].start, parts[i].start + parts[i].length);
    }
  }
  // Partitions with contents not recognised count whole, even where another overlaps them.
  for (size_t i : which) {
    const FsPartition& p = parts[i];
    if (p.content == FsPartition::kUnknown || p.content == FsPartition::kHibernation)
      canvas.setTouched(p.start, p.start + p.length);
  }
  *bmpSize = static_cast<long long>(nChunks);
  *bmp = holder.release();
  return CVoError();
}
