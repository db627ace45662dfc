// Thin pools of an LVM volume group: their metadata read through the _tmeta volume's extents,
// each thin volume read through the pool's mapping, and the pool's data blocks marked by what
// the thin volumes use.
#include "disk/lvm_thin.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

static const char kFile[] = "lvm_thin";
#define HERE JX_LOCATION(kFile)

namespace fsbmp {

namespace {

CVoError refused(const std::string& why) {
  return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s", why.c_str());
}

FsParser::Property text(const char* key, const std::string& value) {
  return {key, value};
}

// Counts are unsigned here; a property's number is signed.
FsParser::Property number(const char* key, uint64_t value) {
  FsParser::Property p = FsParser::Property::ofNumber(key, static_cast<long long>(value));
  p.value = std::to_string(value);
  return p;
}

int indexOf(const std::vector<FsLogicalVolume>& volumes, const std::string& name) {
  for (size_t i = 0; i < volumes.size(); ++i) {
    if (volumes[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

bool isType(const FsLogicalVolume& lv, const char* type) {
  return lv.segments.size() == 1 && lv.segments[0].type == type;
}

}  // namespace

CVoError ThinView::readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) {
  *got = 0;
  if (offset < 0 || offset >= length_) return CVoError();
  if (static_cast<int64_t>(size) > length_ - offset) size = static_cast<uint32_t>(length_ - offset);
  unsigned char* out = static_cast<unsigned char*>(buf);
  while (*got < size) {
    const int64_t at = offset + *got;
    const uint64_t block = static_cast<uint64_t>(at / blockBytes_);
    const int64_t within = at % blockBytes_;
    const uint32_t piece =
        static_cast<uint32_t>(std::min<int64_t>(blockBytes_ - within, size - *got));
    uint64_t data = 0;
    if (!device_->find(block, &data)) {
      memset(out + *got, 0, piece);
    } else {
      uint32_t n = 0;
      CVoError err =
          data_->readAt(static_cast<int64_t>(data) * blockBytes_ + within, out + *got, piece, &n);
      if (err.code < 0) return err;
      if (n != piece)
        return JxErrorUtil::ErrorErrNo(HERE, EIO,
                                       "Thin volume block %llu maps past the pool's data",
                                       static_cast<unsigned long long>(block));
    }
    *got += piece;
  }
  return CVoError();
}

ThinPool::Viewer ThinPool::onPv(const std::shared_ptr<DeviceView>& pvView, const LvmPv& pv) {
  return [pvView, &pv](const FsLogicalVolume& lv, std::shared_ptr<StripedView>* view,
                       int64_t* length) {
    return lvmVolumeView(
        pv, lv, pvView,
        [&pv](const std::string& name) { return name == pv.pvName ? pv.peStart : -1; }, view,
        length);
  };
}

void ThinPool::openAll(const Viewer& viewOf, const LvmPv& pv, const std::string& name,
                       const LayerContext& ctx, std::vector<FsLogicalVolume>* volumes,
                       std::vector<std::shared_ptr<ThinPool>>* handled, const Wanted& wanted) {
  handled->assign(volumes->size(), nullptr);
  std::vector<FsLogicalVolume>& lvs = *volumes;
  for (size_t i = 0; i < lvs.size() && i < pv.thin.size(); ++i) {
    if (!isType(lvs[i], "thin-pool")) continue;
    const LvmThinSegment& t = pv.thin[i];
    const int meta = indexOf(lvs, t.metadata), data = indexOf(lvs, t.data);
    if (wanted && !wanted(i, meta, data)) continue;
    std::shared_ptr<ThinPool> pool(new ThinPool());
    pool->volume_ = i;
    pool->name_ = name + "/" + pv.vg + "/" + lvs[i].name;
    std::shared_ptr<StripedView> metaView;
    int64_t metaLength = 0, dataLength = 0;
    CVoError err;
    if (meta < 0 || data < 0)
      err = refused("its metadata or data volume (" + t.metadata + ", " + t.data + ") is missing");
    if (err.code >= 0) err = viewOf(lvs[static_cast<size_t>(meta)], &metaView, &metaLength);
    if (err.code >= 0) err = viewOf(lvs[static_cast<size_t>(data)], &pool->data_, &dataLength);
    if (err.code >= 0) err = readThinMetadata(metaView.get(), metaLength, &pool->metadata_);
    const ThinMetadata& md = pool->metadata_;
    pool->blockBytes_ = static_cast<int64_t>(md.dataBlockSectors) * 512;
    if (err.code >= 0 && static_cast<int64_t>(md.dataBlockSectors) != t.chunkSectors)
      err = JxErrorUtil::ErrorErrNo(
          HERE, ENOSYS, "its metadata's data block (%u sectors) is not the VG's chunk (%lld)",
          md.dataBlockSectors, static_cast<long long>(t.chunkSectors));
    if (err.code >= 0 && static_cast<int64_t>(md.transactionId) != t.transactionId)
      err = JxErrorUtil::ErrorErrNo(
          HERE, ENOSYS,
          "its metadata is at transaction %llu, the VG at %lld: the pool needs repair",
          static_cast<unsigned long long>(md.transactionId),
          static_cast<long long>(t.transactionId));
    if (err.code >= 0 && md.dataBlocks > static_cast<uint64_t>(dataLength / pool->blockBytes_))
      err = refused("its metadata counts more data blocks than " + t.data + " holds");
    // The thin volumes of the pool, each a device of the metadata.
    std::vector<size_t> thinVolumes;
    for (size_t k = 0; k < lvs.size() && k < pv.thin.size(); ++k) {
      if (pv.thin[k].pool != lvs[i].name || !isType(lvs[k], "thin")) continue;
      thinVolumes.push_back(k);
      if (err.code < 0) continue;
      const LvmThinSegment& tk = pv.thin[k];
      const ThinDevice* device = nullptr;
      for (const ThinDevice& d : md.devices) {
        if (tk.deviceId >= 0 && d.id == static_cast<uint64_t>(tk.deviceId)) device = &d;
      }
      for (const Thin& other : pool->thins_) {
        if (other.device == device) device = nullptr;
      }
      if (!device) {
        err = refused("its metadata has no device for thin volume " + lvs[k].name +
                      " (or two volumes name it)");
        continue;
      }
      if (lvs[k].segments[0].extentCount > (INT64_MAX / 4) / pv.extentSize) {
        err = refused("thin volume " + lvs[k].name + " is larger than any device");
        continue;
      }
      Thin thin;
      thin.volume = k;
      thin.device = device;
      thin.view = std::make_shared<ThinView>(pool->data_, device, pool->blockBytes_,
                                             lvs[k].segments[0].extentCount * pv.extentSize);
      pool->thins_.push_back(std::move(thin));
    }
    FsLogicalVolume& lv = lvs[i];
    if (meta >= 0) lvs[static_cast<size_t>(meta)].why = "the metadata of thin pool " + lv.name;
    lv.layer = "thin-pool";
    lv.layerInfo.clear();
    if (err.code >= 0) {
      lv.layerInfo = {
          number("data_block_size", static_cast<uint64_t>(pool->blockBytes_)),
          number("data_blocks", md.dataBlocks), number("mapped_blocks", md.dataAllocated),
          number("transaction_id", md.transactionId), number("thin_volumes", md.devices.size())};
    }
    lv.layerInfo.push_back(text("state", err.code < 0 ? err.message() : "ok"));
    if (err.code < 0) {
      lv.why = "thin pool counted used whole: " + err.message();
      if (data >= 0)
        lvs[static_cast<size_t>(data)].why =
            "the data of thin pool " + lv.name + ", counted used whole";
      for (size_t k : thinVolumes) {
        lvs[k].layer = "thin";
        lvs[k].layerInfo = {text("pool", lv.name),
                            number("device_id", static_cast<uint64_t>(pv.thin[k].deviceId)),
                            text("content", "not read: its pool counts used whole")};
        lvs[k].why = "its thin pool counts used whole";
      }
      continue;
    }
    lv.why.clear();
    (*handled)[i] = pool;
    (*handled)[static_cast<size_t>(data)] = pool;
    FsLogicalVolume& dataLv = lvs[static_cast<size_t>(data)];
    dataLv.why.clear();
    dataLv.layer = "thin-pool data";
    dataLv.layerInfo = {text("pool", lv.name),
                        text("content", "free but for the blocks its thin volumes use")};
    for (Thin& thin : pool->thins_) {
      FsLogicalVolume& tl = lvs[thin.volume];
      (*handled)[thin.volume] = pool;
      std::string content;
      if (!pv.thin[thin.volume].externalOrigin.empty()) {
        content = "not read: its unmapped blocks come from " + pv.thin[thin.volume].externalOrigin;
      } else {
        LayerContext inner = ctx;
        inner.name = name;
        inner = inner.inner("/" + pv.vg + "/" + tl.name);
        CVoError openErr;
        thin.contents = Contents::open(
            thin.view, lvs[thin.volume].segments[0].extentCount * pv.extentSize, inner, &openErr);
        content = thin.contents
                      ? thin.contents->describe()
                      : "nothing recognised, its mapped blocks count used: " + openErr.message();
      }
      tl.layer = "thin";
      tl.mapped = thin.contents != nullptr;
      if (thin.contents && thin.contents->parser()) {
        tl.fsType = thin.contents->parser()->fsType;
        tl.blockSize = thin.contents->parser()->blockSize;
      }
      if (thin.contents)
        tl.why.clear();
      else
        tl.why = content;
      tl.layerInfo = {text("pool", lv.name), number("device_id", thin.device->id),
                      number("mapped_blocks", thin.device->mapped()), text("content", content)};
    }
  }
}

void ThinPool::setVerify(bool on) {
  for (Thin& t : thins_) {
    if (t.contents) t.contents->setVerify(on);
  }
}

void ThinPool::verifyReports(size_t volume, const std::string& name,
                             std::vector<FsDisk::Verified>* out) const {
  for (const Thin& t : thins_) {
    if (t.volume == volume && t.contents) t.contents->verifyReports(name, out);
  }
}

void ThinPool::markAll(const ThinDevice& d, std::vector<bool>* used) const {
  for (const ThinRun& r : d.runs) {
    for (uint64_t b = 0; b < r.count; ++b) (*used)[r.dataBlock + b] = true;
  }
}

CVoError ThinPool::markUsed(const Thin& t, std::vector<bool>* used) const {
  // The contents mapped at a grain that divides the pool's block; each used range marks the
  // pool blocks under it.
  int64_t chunk = 512;
  while (blockBytes_ % (chunk * 2) == 0) chunk *= 2;
  return t.contents->map(0, chunk, [&](int64_t from, int64_t length) {
    if (from < 0 || length <= 0) return;
    const uint64_t first = static_cast<uint64_t>(from / blockBytes_);
    const uint64_t last = static_cast<uint64_t>((from + length - 1) / blockBytes_);
    for (uint64_t b = first; b <= last; ++b) {
      uint64_t data = 0;
      if (t.device->find(b, &data)) (*used)[data] = true;
    }
  });
}

void ThinPool::map(const MarkRange& mark) {
  std::vector<bool> used(metadata_.dataBlocks, false);
  for (const ThinDevice& d : metadata_.devices) {
    const Thin* thin = nullptr;
    for (const Thin& t : thins_) {
      if (t.device == &d) thin = &t;
    }
    // A device that no volume of the VG names, or whose contents are not read, keeps all it maps.
    if (!thin || !thin->contents || markUsed(*thin, &used).code < 0) markAll(d, &used);
  }
  for (uint64_t b = 0; b < used.size();) {
    if (!used[b]) {
      ++b;
      continue;
    }
    uint64_t end = b;
    while (end < used.size() && used[end]) ++end;
    data_->forEachRun(static_cast<int64_t>(b) * blockBytes_,
                      static_cast<int64_t>(end - b) * blockBytes_, [&](int64_t at, int64_t n) {
                        mark(at, n);
                        return true;
                      });
    b = end;
  }
}

}  // namespace fsbmp
