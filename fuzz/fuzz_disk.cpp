// The disk layer's readers on bytes that stand for the start of a device: the MBR and its EBR
// chain, the GPT, an md member's superblock and its array's layout, a LUKS1 or LUKS2 container's
// header and metadata, an LVM2 PV's label, metadata areas and text, and the striped view of each
// volume read. The device is 64 MiB long, the input its first bytes and zeros after them. Seeds
// (make-disk-seeds.sh): a GPT made by sfdisk, LUKS headers made by cryptsetup, a PV made by
// pvcreate with volumes in it, md members' starts.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "disk/disk_table.h"
#include "disk/luks.h"
#include "disk/lvm_pv.h"
#include "disk/md_member.h"
#include "memory_view.h"
#include "promises.h"

namespace {

const int64_t kDeviceBytes = 64 << 20;

// An md member: the input's first 4 KiB decoded as each kind of superblock (0.90 in either
// byte order), then the member read from wherever its superblock fits (1.1 and 1.2 from the
// input); every place the array's layout gives for a byte lies inside a member's data.
void fuzzMd(fsbmp::DeviceView* view, const uint8_t* data, size_t size) {
  std::vector<unsigned char> sb(4096, 0);
  memcpy(sb.data(), data, std::min(size, sb.size()));
  fsbmp::MdSuper md;
  bool found = false;
  for (const char* kind : {"0.90", "1.0", "1.1", "1.2"}) {
    CVoError err =
        fsbmp::decodeMdSuper(sb.data(), sb.size(), 4096, kDeviceBytes, kind, &found, &md);
    fsbmp_fuzz::check(err.code >= 0 || !err.message().empty(),
                      "an md superblock refused without a reason");
  }
  CVoError err = fsbmp::readMdSuper(view, kDeviceBytes, &found, &md);
  fsbmp_fuzz::check(err.code >= 0 || !err.message().empty(),
                    "an md member refused without a reason");
  if (!found || err.code < 0) return;
  fsbmp_fuzz::check(md.dataOffset >= 0 && md.dataBytes > 0 &&
                        md.dataOffset + md.dataBytes <= kDeviceBytes &&
                        md.componentBytes <= md.dataBytes,
                    "an md data area outside the member");
  // A RAID0's members may differ in size (md's zones): each third one a chunk shorter, or two.
  std::vector<int64_t> sizes(static_cast<size_t>(md.raidDisks), md.componentBytes);
  for (size_t r = 0; md.level == 0 && r < sizes.size(); ++r)
    sizes[r] = std::max<int64_t>(0, sizes[r] - static_cast<int64_t>(r % 3) * md.chunk);
  fsbmp::MdGeometry geometry;
  if (md.raidDisks > 64 ||
      geometry.init(md.level, md.layout, md.chunk, md.raidDisks, sizes).code < 0)
    return;
  const int64_t end = geometry.arrayBytes();
  std::vector<fsbmp::MdGeometry::Place> places;
  for (int64_t at : {int64_t(0), end / 3, end - 1}) {
    if (at < 0 || at >= end) continue;
    int64_t run = 0;
    geometry.places(at, &run, &places);
    fsbmp_fuzz::check(run > 0 && !places.empty(), "no place for an md array's byte");
    for (const fsbmp::MdGeometry::Place& p : places)
      fsbmp_fuzz::check(
          p.role >= 0 && p.role < md.raidDisks && p.at >= 0 &&
              p.at + std::min<int64_t>(run, end - at) <= sizes[static_cast<size_t>(p.role)],
          "an md array's byte outside its members");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto view = std::make_shared<fsbmp_fuzz::MemoryView>(data, size, kDeviceBytes);
  fuzzMd(view.get(), data, size);
  fsbmp::DiskTable table;
  // The input's length picks the logical sector size: 512 mostly, 4096 for a 4Kn disk.
  const int64_t sectorBytes = size % 7 == 3 ? 4096 : 512;
  CVoError err = fsbmp::readPartitionTable(view.get(), kDeviceBytes, sectorBytes, &table);
  fsbmp_fuzz::check(err.code >= 0 || !err.message().empty(), "a table refused without a reason");
  for (const fsbmp::TableSlot& s : table.slots)
    fsbmp_fuzz::check(s.start >= 0 && s.length > 0 && s.start + s.length <= kDeviceBytes,
                      "a partition outside the device");

  bool found = false;
  fsbmp::LuksHeader luks;
  err = fsbmp::readLuksHeader(view.get(), kDeviceBytes, &found, &luks);
  fsbmp_fuzz::check(!found || err.code >= 0 || !err.message().empty(),
                    "a LUKS container refused without a reason");
  if (found && err.code >= 0) {
    fsbmp_fuzz::check(luks.dataOffset >= 0 && luks.dataOffset <= kDeviceBytes &&
                          (luks.dataSize < 0 || luks.dataSize <= kDeviceBytes - luks.dataOffset),
                      "a data segment outside the device");
    fsbmp_fuzz::check(fsbmp::luksDecryptedBytes(luks, kDeviceBytes) >= 0,
                      "a decrypted device of negative size");
  }

  fsbmp::LvmPv pv;
  err = fsbmp::readLvmPv(view.get(), kDeviceBytes, &found, &pv);
  fsbmp_fuzz::check(err.code >= 0 || !err.message().empty(), "a PV refused without a reason");
  if (!found || err.code < 0) return 0;
  fsbmp_fuzz::check(pv.peStart + pv.peCount * pv.extentSize <= kDeviceBytes,
                    "extents past the PV's end");
  for (const FsLogicalVolume& lv : pv.volumes) {
    if (!lv.why.empty()) continue;
    fsbmp::StripedView lvView(view, fsbmp::lvmSegmentsOnPv(pv, lv));
    int64_t length = 0;
    lvView.length(&length);
    for (int64_t at : {int64_t(0), length / 2, length - 700}) {
      unsigned char buf[1400];
      uint32_t got = 0;
      lvView.readAt(at < 0 ? 0 : at, buf, sizeof buf, &got);
      lvView.forEachRun(at < 0 ? 0 : at, 1 << 20, [](int64_t start, int64_t run) {
        fsbmp_fuzz::check(start >= 0 && run > 0 && start + run <= kDeviceBytes,
                          "a volume's run outside the PV");
        return true;
      });
    }
  }
  return 0;
}
