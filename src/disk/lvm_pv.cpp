// Reading an LVM2 physical volume: label, PV header, metadata areas and the volume group's text.
#include "disk/lvm_pv.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "core/checksums.h"
#include "core/coding.h"
#include "core/crc32.h"
#include "disk/disk_layout.h"
#include "disk/lvm_config.h"

static const char kFile[] = "lvm_pv";
#define HERE JX_LOCATION(kFile)

namespace fsbmp {

namespace {

const uint64_t kMaxText = 64u << 20;  // LVM's own areas default to 1 MiB
const size_t kMaxAreas = 8;
const int64_t kMaxExtents = int64_t(1) << 40;

CVoError damaged(const char* what) {
  return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "LVM physical volume: %s", what);
}

bool readWhole(DeviceView* view, int64_t offset, unsigned char* buf, uint32_t size) {
  uint32_t got = 0;
  return view->readAt(offset, buf, size, &got).code >= 0 && got == size;
}

struct Area {
  uint64_t offset;
  uint64_t size;
};

// One metadata area's current text, checked: its header's CRC and magic, the text's location (which
// may wrap past the area's end to just after its header) and the text's CRC.
CVoError readArea(DeviceView* view, int64_t length, const Area& a, std::string* text) {
  if (a.size < static_cast<uint64_t>(kMdaHeader) * 2 || a.offset > static_cast<uint64_t>(length) ||
      a.size > static_cast<uint64_t>(length) - a.offset)
    return damaged("a metadata area outside the PV");
  unsigned char h[kMdaHeader];
  const int64_t start = static_cast<int64_t>(a.offset);
  if (!readWhole(view, start, h, sizeof h)) return damaged("a metadata area header cannot be read");
  if (decodeLE32(h) != crc32(kLvmCrcSeed, h + kOffMdaMagic, sizeof h - kOffMdaMagic) &&
      kChecksumsRefuse)
    return damaged("a metadata area header's checksum does not match");
  if (memcmp(h + kOffMdaMagic, kMdaMagic, kMdaMagicBytes) != 0 ||
      decodeLE32(h + kOffMdaVersion) != kMdaVersion)
    return damaged("a metadata area header without its magic");
  // The first raw location is the current text; the ones after it are never written by LVM2.
  const uint64_t off = decodeLE64(h + kOffMdaTextOffset), size = decodeLE64(h + kOffMdaTextSize);
  const uint32_t crc = decodeLE32(h + kOffMdaTextCrc), flags = decodeLE32(h + kOffMdaTextFlags);
  if (off == 0 || size == 0 || (flags & kTextIgnored))
    return damaged("a metadata area holds no text");
  if (off < static_cast<uint64_t>(kMdaHeader) || off >= a.size || size > kMaxText ||
      size > a.size - static_cast<uint64_t>(kMdaHeader))
    return damaged("a metadata text outside its area");
  const uint64_t first = size < a.size - off ? size : a.size - off;
  text->assign(static_cast<size_t>(size), '\0');
  unsigned char* t = reinterpret_cast<unsigned char*>(&(*text)[0]);
  if (!readWhole(view, start + static_cast<int64_t>(off), t, static_cast<uint32_t>(first)) ||
      (first < size &&
       !readWhole(view, start + kMdaHeader, t + first, static_cast<uint32_t>(size - first))))
    return damaged("a metadata text cannot be read");
  if (crc32(kLvmCrcSeed, t, static_cast<size_t>(size)) != crc && kChecksumsRefuse)
    return damaged("a metadata text's checksum does not match");
  return CVoError();
}

std::string withoutDashes(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c != '-') out.push_back(c);
  }
  return out;
}

bool isVisible(const LvmNode& lv) {
  const LvmNode* status = lv.child("status");
  if (!status) return false;
  for (const LvmValue& v : status->values) {
    if (v.kind == LvmValue::kString && v.text == "VISIBLE") return true;
  }
  return false;
}

// Every string a node holds, at any depth: the volumes and PVs a segment names.
void strings(const LvmNode& n, std::vector<std::string>* out) {
  for (const LvmValue& v : n.values) {
    if (v.kind == LvmValue::kString) out->push_back(v.text);
  }
  for (const LvmNode& c : n.children) strings(c, out);
}

// A thin pool's or thin volume's settings; the keys that LVM writes for each.
void readThinSegment(const LvmNode& s, const std::string& type, LvmThinSegment* t) {
  int64_t zero = 0;
  if (type == "thin-pool") {
    s.string("metadata", &t->metadata);
    s.string("pool", &t->data);
    s.integer("chunk_size", &t->chunkSectors);
    s.integer("transaction_id", &t->transactionId);
    t->zeroNewBlocks = s.integer("zero_new_blocks", &zero) && zero != 0;
  } else {
    s.string("thin_pool", &t->pool);
    s.integer("device_id", &t->deviceId);
    s.integer("transaction_id", &t->transactionId);
    s.string("origin", &t->origin);
    s.string("external_origin", &t->externalOrigin);
  }
}

CVoError readSegment(const LvmNode& s, FsLvSegment* seg, std::vector<std::string>* names) {
  int64_t start, count;
  if (!s.integer("start_extent", &start) || !s.integer("extent_count", &count) ||
      !s.string("type", &seg->type) || start < 0 || count <= 0 || start > kMaxExtents ||
      count > kMaxExtents)
    return damaged("a segment without its extents or type");
  seg->startExtent = start;
  seg->extentCount = count;
  if (seg->type != "striped") {
    for (const LvmNode& c : s.children) {
      if (c.key != "type") strings(c, names);
    }
    return CVoError();
  }
  int64_t stripes, stripeSize = 0;
  const LvmNode* list = s.child("stripes");
  if (!s.integer("stripe_count", &stripes) || stripes < 1 || stripes > 128 || !list ||
      !list->array || list->values.size() != static_cast<size_t>(stripes) * 2 ||
      count % stripes != 0)
    return damaged("a striped segment whose stripes do not add up");
  if (stripes > 1) {
    if (!s.integer("stripe_size", &stripeSize) || stripeSize <= 0 || stripeSize > (1 << 22))
      return damaged("a striped segment without its stripe size");
    seg->stripeSize = stripeSize * kLvmSector;
  }
  for (size_t i = 0; i < list->values.size(); i += 2) {
    const LvmValue& pvName = list->values[i];
    const LvmValue& first = list->values[i + 1];
    if (pvName.kind != LvmValue::kString || first.kind != LvmValue::kInteger || first.value < 0)
      return damaged("a stripe without its PV and extent");
    seg->stripes.push_back({pvName.text, first.value});
  }
  return CVoError();
}

// This PV's place in the VG and the VG's volumes, from the text. Volumes that a segment of another
// type names (a pool's data, a RAID image, a snapshot's store or origin) are parts of that volume.
CVoError readGroup(const LvmNode& root, const std::string& uuid, int64_t length, LvmPv* pv) {
  const LvmNode* vg = nullptr;
  for (const LvmNode& c : root.children) {
    if (c.section && c.child("physical_volumes")) {
      vg = &c;
      break;
    }
  }
  if (!vg) return damaged("the metadata holds no volume group");
  pv->vg = vg->key;
  int64_t extentSectors;
  if (!vg->integer("seqno", &pv->seqno) || !vg->integer("extent_size", &extentSectors) ||
      extentSectors <= 0 || extentSectors > (int64_t(1) << 32))
    return damaged("the volume group has no seqno or extent size");
  pv->extentSize = extentSectors * kLvmSector;
  std::vector<std::string> pvNames;
  for (const LvmNode& p : vg->child("physical_volumes")->children) {
    if (!p.section) continue;
    pvNames.push_back(p.key);
    std::string id;
    if (!p.string("id", &id) || withoutDashes(id) != uuid) continue;
    int64_t peStart, peCount;
    if (!p.integer("pe_start", &peStart) || !p.integer("pe_count", &peCount) || peStart < 0 ||
        peCount < 0 || peStart > length / kLvmSector)
      return damaged("this PV's extents are not given");
    pv->pvName = p.key;
    pv->peStart = peStart * kLvmSector;
    pv->peCount = peCount;
    if (peCount > (length - pv->peStart) / pv->extentSize)
      return damaged("this PV's extents reach past its end");
  }
  if (pv->pvName.empty()) return damaged("the metadata does not list this PV");
  std::vector<std::string> named;  // volumes and PVs that other segment types name
  const LvmNode* lvs = vg->child("logical_volumes");
  std::vector<bool> visible;
  for (const LvmNode& l : lvs ? lvs->children : std::vector<LvmNode>()) {
    if (!l.section) continue;
    FsLogicalVolume lv;
    lv.name = l.key;
    LvmThinSegment thin;
    for (const LvmNode& s : l.children) {
      if (!s.section || !s.child("start_extent")) continue;
      FsLvSegment seg;
      CVoError err = readSegment(s, &seg, &named);
      if (err.code < 0) return err;
      if ((seg.type == "thin-pool" || seg.type == "thin") && lv.segments.empty())
        readThinSegment(s, seg.type, &thin);
      for (const FsLvSegment::Stripe& st : seg.stripes) {
        if (st.pv == pv->pvName && (st.firstExtent > pv->peCount ||
                                    seg.extentCount / static_cast<int64_t>(seg.stripes.size()) >
                                        pv->peCount - st.firstExtent))
          return damaged("a volume's extents lie outside the PV");
      }
      lv.segments.push_back(std::move(seg));
    }
    std::sort(
        lv.segments.begin(), lv.segments.end(),
        [](const FsLvSegment& a, const FsLvSegment& b) { return a.startExtent < b.startExtent; });
    pv->volumes.push_back(std::move(lv));
    pv->thin.push_back(std::move(thin));
    visible.push_back(isVisible(l));
  }
  for (const std::string& n : named) {
    for (const std::string& p : pvNames) {
      if (n == p) return damaged("a segment of a type not read names a PV itself");
    }
  }
  pv->elsewhere.assign(pv->volumes.size(), false);
  for (size_t i = 0; i < pv->volumes.size(); ++i) {
    FsLogicalVolume& lv = pv->volumes[i];
    std::string hard, other;  // why it can't be read at all; why not from this PV alone
    for (const std::string& n : named) {
      if (n == lv.name) hard = "part of another volume (its pool, image, log or snapshot)";
    }
    if (hard.empty()) lvmLayout(*pv, lv, &hard, &other);
    if (hard.empty() && !visible[i]) hard = "a hidden volume";
    lv.why = hard.empty() ? other : hard;
    pv->elsewhere[i] = hard.empty() && !other.empty();
  }
  return CVoError();
}

}  // namespace

CVoError readLvmPv(DeviceView* view, int64_t length, bool* found, LvmPv* pv) {
  *found = false;
  *pv = LvmPv();
  unsigned char label[kLvmSector * kLabelSectors];
  uint32_t got = 0;
  CVoError err = view->readAt(0, label, sizeof label, &got);
  if (err.code < 0) return err;
  const unsigned char* l = nullptr;
  uint64_t sector = 0;
  for (; sector < got / kLvmSector; ++sector) {
    const unsigned char* s = label + sector * kLvmSector;
    if (memcmp(s, kLabelId, sizeof kLabelId) == 0 &&
        memcmp(s + kOffLabelType, kLabelType, sizeof kLabelType) == 0) {
      l = s;
      break;
    }
  }
  if (!l) return CVoError();
  *found = true;
  if (decodeLE64(l + kOffLabelSector) != sector) return damaged("its label names another sector");
  if (decodeLE32(l + kOffLabelCrc) !=
          crc32(kLvmCrcSeed, l + kOffLabelHeader, kLvmSector - kOffLabelHeader) &&
      kChecksumsRefuse)
    return damaged("its label's checksum does not match");
  const uint32_t headerAt = decodeLE32(l + kOffLabelHeader);
  if (headerAt < kLabelBytes || headerAt > kLvmSector - kOffPvAreas - kAreaEntryBytes)
    return damaged("its label is malformed");
  const unsigned char* h = l + headerAt;
  const std::string uuid(reinterpret_cast<const char*>(h), kPvUuidBytes);
  // The data areas, then the metadata areas, each list ended by a zero entry.
  const unsigned char* end = l + kLvmSector;
  const unsigned char* at = h + kOffPvAreas;
  std::vector<Area> areas;
  for (int list = 0; list < 2; ++list) {
    for (;;) {
      if (at + kAreaEntryBytes > end) return damaged("its label's area lists run past the sector");
      const Area a{decodeLE64(at), decodeLE64(at + kOffAreaSize)};
      at += kAreaEntryBytes;
      if (a.offset == 0) break;
      if (list == 1) {
        if (areas.size() == kMaxAreas) return damaged("too many metadata areas");
        areas.push_back(a);
      }
    }
  }
  if (areas.empty()) return damaged("it holds no metadata area (the VG's text is on another PV)");
  CVoError last;
  bool have = false;
  for (const Area& a : areas) {
    std::string text;
    LvmNode root;
    LvmPv candidate;
    err = readArea(view, length, a, &text);
    if (err.code >= 0) err = parseLvmConfig(text.data(), text.size(), &root);
    if (err.code >= 0) err = readGroup(root, uuid, length, &candidate);
    if (err.code < 0) {
      last = err;
      continue;
    }
    if (!have || candidate.seqno > pv->seqno) *pv = std::move(candidate);
    have = true;
  }
  if (!have) return last;
  return CVoError();
}

std::vector<StripedView::Segment> lvmSegments(
    const FsLogicalVolume& lv, int64_t extentSize,
    const std::function<int64_t(const std::string&)>& firstExtentAt) {
  std::vector<StripedView::Segment> out;
  for (const FsLvSegment& s : lv.segments) {
    StripedView::Segment seg;
    seg.length = s.extentCount * extentSize;
    seg.stripeSize = s.stripeSize;
    for (const FsLvSegment::Stripe& st : s.stripes)
      seg.stripes.push_back(firstExtentAt(st.pv) + st.firstExtent * extentSize);
    out.push_back(std::move(seg));
  }
  return out;
}

void lvmLayout(const LvmPv& pv, const FsLogicalVolume& lv, std::string* why,
               std::string* elsewhere) {
  why->clear();
  elsewhere->clear();
  int64_t next = 0;  // the volume's extents must follow one another from 0
  for (const FsLvSegment& s : lv.segments) {
    if (s.startExtent != next) {
      *why = "segments that leave a gap or overlap";
    } else if (s.stripeSize > 0 && pv.extentSize % s.stripeSize != 0) {
      *why = "a stripe size that does not divide the extent";
    } else if (s.type != "striped") {
      *why = "a " + s.type + " segment";
    } else {
      for (const FsLvSegment::Stripe& st : s.stripes) {
        if (st.pv != pv.pvName && elsewhere->empty())
          *elsewhere = "needs extents on " + st.pv + ", another PV of the VG, not on this device";
      }
    }
    if (!why->empty()) return;
    next = s.startExtent + s.extentCount;
  }
  if (lv.segments.empty()) *why = "no segments";
}

CVoError lvmVolumeView(const LvmPv& pv, const FsLogicalVolume& lv,
                       const std::shared_ptr<DeviceView>& under,
                       const std::function<int64_t(const std::string&)>& firstExtentAt,
                       std::shared_ptr<StripedView>* view, int64_t* length) {
  std::string why, elsewhere;
  lvmLayout(pv, lv, &why, &elsewhere);
  if (!why.empty())
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "volume %s has %s", lv.name.c_str(), why.c_str());
  int64_t extents = 0;
  for (const FsLvSegment& s : lv.segments) {
    for (const FsLvSegment::Stripe& st : s.stripes) {
      if (firstExtentAt(st.pv) < 0)
        return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                       "volume %s needs extents on %s, a PV not on this device",
                                       lv.name.c_str(), st.pv.c_str());
    }
    extents += s.extentCount;
  }
  *view = std::make_shared<StripedView>(under, lvmSegments(lv, pv.extentSize, firstExtentAt));
  *length = extents * pv.extentSize;
  return CVoError();
}

std::vector<StripedView::Segment> lvmSegmentsOnPv(const LvmPv& pv, const FsLogicalVolume& lv) {
  return lvmSegments(lv, pv.extentSize, [&](const std::string&) { return pv.peStart; });
}

}  // namespace fsbmp
