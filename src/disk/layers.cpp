// The layer formats' table, and what a layer's contents are: a file system, or what a disk holds.
#include <cerrno>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "core/registry.h"
#include "disk/disk_table.h"
#include "disk/layer.h"

// First pass: the table's #include lines declare the probes.
#define FSBMP_LAYER(...)
#include "disk/layers.def"
#undef FSBMP_LAYER

static const char kFile[] = "layers";
#define HERE JX_LOCATION(kFile)

namespace fsbmp {

namespace {

#define FSBMP_LAYER(probe) probe,
const LayerProbe kProbes[] = {
#include "disk/layers.def"
    nullptr,
};
#undef FSBMP_LAYER

// The largest power of two that is a multiple of `unit`, at most `chunk` (when `unit` allows)
// and divides `offset`.
int64_t grainFor(int64_t unit, int64_t offset, int64_t chunk) {
  int64_t grain = unit;
  while (grain * 2 <= chunk && offset % (grain * 2) == 0) grain *= 2;
  return grain;
}

// A bitmap of `count` chunks of `grain` bytes: each used chunk's bytes to `mark`.
void markBits(const void* raw, long long count, int64_t grain, const MarkRange& mark) {
  const unsigned char* bits = static_cast<const unsigned char*>(raw);
  for (long long c = 0; c < count; ++c) {
    if ((c & 7) == 0 && bits[c >> 3] == 0) {
      c += 7;
      continue;
    }
    if ((bits[c >> 3] >> (c & 7)) & 1) mark(c * grain, grain);
  }
}

// getBmp at `grain`, doubled while the bitmap would have too many chunks for its counters: a
// coarser grain still marks all it must.
template <class Map>
CVoError mapAtGrain(int64_t grain, const MarkRange& mark, const Map& getBmp) {
  for (;; grain *= 2) {
    void* raw = nullptr;
    long long count = 0;
    CVoError err = getBmp(static_cast<int>(grain), &raw, &count);
    if (err.code >= 0) {
      std::unique_ptr<void, void (*)(void*)> bits(raw, free);
      markBits(raw, count, grain, mark);
      return CVoError();
    }
    if (err.errNo() != EINVAL || grain >= (1 << 29)) return err;
  }
}

}  // namespace

Layer::~Layer() {}
void Layer::setVerify(bool) {}
void Layer::verifyReports(const std::string&, std::vector<FsDisk::Verified>*) const {}

std::unique_ptr<Layer> probeLayer(const std::shared_ptr<DeviceView>& view, int64_t length,
                                  const LayerContext& ctx, bool* found, CVoError* err) {
  *found = false;
  if (ctx.depth >= kMaxLayerDepth) return nullptr;
  for (const LayerProbe* probe = kProbes; *probe; ++probe) {
    std::unique_ptr<Layer> layer = (*probe)(view, length, ctx, found, err);
    if (*found) return layer;
  }
  return nullptr;
}

CVoError mapParser(FsParser* parser, int64_t offset, int64_t chunk, const MarkRange& mark) {
  return mapAtGrain(
      grainFor(parser->blockSize, offset, chunk), mark,
      [parser](int grain, void** bmp, long long* n) { return parser->getBmp(grain, bmp, n); });
}

Contents::~Contents() {}

std::unique_ptr<Contents> Contents::open(const std::shared_ptr<DeviceView>& view, int64_t length,
                                         const LayerContext& ctx, CVoError* err) {
  std::unique_ptr<Contents> c(new Contents());
  c->length_ = length;
  if (ctx.depth >= kMaxLayerDepth) {
    *err = JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s: layers nested more than %d deep",
                                   ctx.name.c_str(), kMaxLayerDepth);
    return nullptr;
  }
  CVoError fsErr;
  c->parser_.reset(probeView(view, ctx.name, &fsErr));
  if (c->parser_) return c;
  CVoError diskErr;
  c->disk_.reset(openDiskOnView(view, length, ctx, &diskErr));
  if (c->disk_) return c;
  *err = fsErr.code < 0 ? fsErr : diskErr;
  return nullptr;
}

std::unique_ptr<Contents> Contents::openPath(const std::string& path, const LayerContext& ctx,
                                             CVoError* err) {
  std::unique_ptr<Contents> c(new Contents());
  if (ctx.depth >= kMaxLayerDepth) {
    *err = JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s: layers nested more than %d deep",
                                   path.c_str(), kMaxLayerDepth);
    return nullptr;
  }
  CVoError fsErr;
  c->parser_.reset(probeWholeDevice(path, &fsErr, nullptr));
  if (c->parser_) {
    c->length_ = c->parser_->devSize;
    return c;
  }
  CVoError diskErr;
  FsDisk::Options none;
  c->disk_.reset(openDiskOnPath(path, ctx.options ? *ctx.options : none, ctx.depth, &diskErr));
  if (c->disk_) {
    c->length_ = c->disk_->size();
    return c;
  }
  *err = fsErr.code < 0 ? fsErr : diskErr;
  return nullptr;
}

CVoError Contents::map(int64_t offset, int64_t chunk, const MarkRange& mark) {
  if (parser_) return mapParser(parser_.get(), offset, chunk, mark);
  FsDisk* disk = disk_.get();
  return mapAtGrain(
      grainFor(512, offset, chunk), mark,
      [disk](int grain, void** bmp, long long* n) { return disk->getBmp(grain, bmp, n); });
}

std::string Contents::describe() const {
  if (parser_)
    return std::string(FsParser::typeName(parser_->fsType)) + ", " +
           std::to_string(parser_->blockSize) + "-byte blocks";
  const std::vector<FsPartition>& parts = disk_->partitions();
  if (disk_->label() == "MBR" || disk_->label() == "GPT")
    return "disk: " + disk_->label() + ", " + std::to_string(parts.size()) + " partition" +
           (parts.size() == 1 ? "" : "s");
  if (parts.size() == 1 && parts[0].content == FsPartition::kLvmPv)
    return "LVM physical volume " + parts[0].pvName + " of VG " + parts[0].vg;
  if (parts.size() == 1 && parts[0].content == FsPartition::kLayer) return parts[0].layer;
  return disk_->label();
}

void Contents::setVerify(bool on) {
  if (parser_ && (parser_->fsType == FsParser::kExt2 || parser_->fsType == FsParser::kXFS))
    parser_->setVerify(on);
  if (disk_) disk_->setVerify(on);
}

void Contents::verifyReports(const std::string& prefix, std::vector<FsDisk::Verified>* out) const {
  if (parser_ && parser_->verifyReport().ran) out->push_back({prefix, parser_->verifyReport()});
  if (disk_)
    for (const FsDisk::Verified& v : disk_->verifyReports())
      out->push_back({prefix + " " + v.name, v.report});
}

}  // namespace fsbmp
