// An LVM2 physical volume: its label (in one of the first four sectors), the PV header with its
// data and metadata area lists, each metadata area's header and the text of the volume group it
// holds, and from that text this PV's extents and the VG's logical volumes. Everything on disk is
// little-endian; the label, each area header and each text carry LVM's CRC-32.
#ifndef FSBMP_LVM_PV_H
#define FSBMP_LVM_PV_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/device_view.h"
#include "fsbmp/fsbmpDisk.h"
#include "fsbmp/services/error.h"

namespace fsbmp {

// What a volume's "thin-pool" or "thin" segment says of it (empty for other volumes).
struct LvmThinSegment {
  // thin-pool: its metadata and data volumes (the hidden _tmeta and _tdata), its block size in
  // sectors, the transaction the metadata must be at, whether new blocks are zeroed.
  std::string metadata, data;
  int64_t chunkSectors = 0;
  int64_t transactionId = -1;
  bool zeroNewBlocks = false;
  // thin: its pool, its device id in the pool's metadata, the volume it is a snapshot of, and
  // a volume outside the pool that its unmapped blocks are read from.
  std::string pool;
  int64_t deviceId = -1;
  std::string origin, externalOrigin;
};

struct LvmPv {
  std::string vg;
  std::string pvName;      // this PV's name in the VG ("pv0")
  int64_t extentSize = 0;  // bytes
  int64_t peStart = 0;     // bytes from the PV's start
  int64_t peCount = 0;
  int64_t seqno = 0;
  // Every volume of the VG; `why` already set for those that cannot be read through their
  // extents whatever they hold (other segment types, hidden parts of other volumes, extents on
  // another PV). `mapped` is left to the caller, who probes the others.
  std::vector<FsLogicalVolume> volumes;
  // Per volume: it could be read through its extents but for some on other PVs of the VG.
  std::vector<bool> elsewhere;
  // Per volume: its thin-pool or thin segment's settings.
  std::vector<LvmThinSegment> thin;
};

// Reads the PV at the start of `view` (`length` bytes). *found is false when no LVM2 label is
// there. A label that is there but damaged, or metadata that cannot be used (no copy verifies,
// the text does not parse, this PV is not in it, extents outside the PV), is refused (errno 38).
CVoError readLvmPv(DeviceView* view, int64_t length, bool* found, LvmPv* pv);

// Whether volume `lv` of the VG in `pv` can be read through its extents: *why says why it cannot
// at all (segments that leave a gap or overlap, a segment of another type, a stripe size that
// does not divide the extent, no segments), *elsewhere why not from this PV alone (extents on
// another PV of the VG). Both empty: it lies on this PV, striped or linear from extent 0.
void lvmLayout(const LvmPv& pv, const FsLogicalVolume& lv, std::string* why,
               std::string* elsewhere);

// A view of volume `lv` through `under`, where `firstExtentAt` puts the first extent of each PV
// of the VG (negative: that PV is not there), and its length in bytes. Refused (errno 38) for a
// volume that lvmLayout says cannot be read, or that needs a PV that is not there.
CVoError lvmVolumeView(const LvmPv& pv, const FsLogicalVolume& lv,
                       const std::shared_ptr<DeviceView>& under,
                       const std::function<int64_t(const std::string&)>& firstExtentAt,
                       std::shared_ptr<StripedView>* view, int64_t* length);

// The segments of a volume whose segments are all "striped", for StripedView: each stripe starts
// where `firstExtentAt` puts the first physical extent of its PV, plus its own extents.
std::vector<StripedView::Segment> lvmSegments(
    const FsLogicalVolume& lv, int64_t extentSize,
    const std::function<int64_t(const std::string&)>& firstExtentAt);
// The same for a volume all on this PV: byte offsets in the PV.
std::vector<StripedView::Segment> lvmSegmentsOnPv(const LvmPv& pv, const FsLogicalVolume& lv);

}  // namespace fsbmp

#endif
