// A member of a Linux md RAID array. Its superblock is one of four kinds: 0.90 in the last
// 64 KiB-aligned 64 KiB of the device (in the byte order of the machine that wrote it), 1.0 8 KiB
// before the end rounded down to 4 KiB, 1.1 at the start, 1.2 4 KiB from the start (1.x all
// little-endian). The data area holds this member's share of the array: the whole array for
// RAID1, a stripe of chunks (with parity for RAID4/5/6, copies for RAID10) or a run of a linear
// array otherwise. Everything of the member outside its data area (superblock, write-intent
// bitmap, bad-block log, reserved space) counts used.
#ifndef FSBMP_DISK_MD_MEMBER_H
#define FSBMP_DISK_MD_MEMBER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/device_view.h"
#include "disk/layer.h"
#include "fsbmp/services/error.h"

namespace fsbmp {

// What a member's superblock says, decoded and checked.
struct MdSuper {
  std::string metadata;  // "0.90", "1.0", "1.1", "1.2"
  int64_t superAt = 0;   // bytes from the member's start
  int64_t superBytes = 0;
  unsigned char uuid[16] = {};        // the array's
  unsigned char deviceUuid[16] = {};  // 1.x: this member's own
  std::string name;
  int level = 0;        // -1 linear, 0, 1, 4, 5, 6, 10
  uint32_t layout = 0;  // RAID0: 0 unless recorded (1.x with its feature bit; never in 0.90)
  int64_t chunk = 0;    // bytes
  int raidDisks = 0;
  int64_t componentBytes = 0;  // of each member's data area that the array uses
  int64_t dataOffset = 0;      // bytes from the member's start
  int64_t dataBytes = 0;
  int role = -1;  // this member's slot in the array; kSpare, kFaulty, kJournal otherwise
  uint64_t events = 0;
  std::string state;              // "clean", "degraded", "resyncing", "recovering", "reshaping"
  std::vector<int> missingRoles;  // roles no working member holds
  int64_t bitmapAt = 0, bitmapBytes = 0;  // the write-intent bitmap, when there is one
  int64_t bblogAt = 0, bblogBytes = 0;    // the bad-block log, when there is one

  static const int kSpare = -1, kFaulty = -2, kJournal = -3;
};

// Decodes the superblock in `sb` (`size` bytes, at least 4096), read at byte `at` of a member of
// `deviceBytes` as metadata `kind` ("0.90", "1.0", "1.1", "1.2"). *found false: no md magic
// there. Found with an error: the superblock is damaged or does not fit the device (errno 38).
// The bitmap's and bad-block log's places are checked against the data area; the bitmap's size
// is read by the caller (readMdSuper).
CVoError decodeMdSuper(const unsigned char* sb, size_t size, int64_t at, int64_t deviceBytes,
                       const char* kind, bool* found, MdSuper* out);

// Reads the superblock of the member in `view` (`length` bytes), from wherever one fits; when
// several do (a member inside another's data area), the outermost. *found as decodeMdSuper's.
CVoError readMdSuper(DeviceView* view, int64_t length, bool* found, MdSuper* out);

// Where array chunks lie on the members, as md lays them out. Linear arrays are runs of whole
// members; the others go by chunk.
class MdGeometry {
 public:
  struct Place {
    int role;
    int64_t at;  // bytes from the start of the member's data area
    bool parity;
  };
  // Null error when md's layout of `level` with `layout` is one this reads; `memberBytes` gives
  // each role's data bytes (linear and RAID0 arrays may differ: a RAID0 then has zones).
  CVoError init(int level, uint32_t layout, int64_t chunk, int raidDisks,
                const std::vector<int64_t>& memberBytes);
  int64_t arrayBytes() const { return arrayBytes_; }
  // The places holding the array bytes at `offset` (up to the end of their chunk, or of the
  // member for linear: *run bytes): the copies first, the first being the one to read, then the
  // parity of their stripe row.
  void places(int64_t offset, int64_t* run, std::vector<Place>* out) const;

 private:
  CVoError initZones(const std::vector<int64_t>& memberBytes);

  int level_ = 0;
  uint32_t layout_ = 0;
  int64_t chunk_ = 0;
  int disks_ = 0;
  int64_t arrayBytes_ = 0;
  std::vector<int64_t> starts_;  // linear: where each role's run starts in the array
  // RAID0: the array's zones, each striped over the members longer than the zones before it.
  struct Zone {
    int64_t start;     // array bytes before it
    int64_t devStart;  // where it begins in each of its members' data areas
    int64_t shift;     // added to a chunk's number in the zone before it picks a member
    std::vector<int> roles;
  };
  std::vector<Zone> zones_;
  int near_ = 1, far_ = 1;  // RAID10
  bool farOffset_ = false;
  int64_t stride_ = 0;  // RAID10: bytes between far copies
};

// The array read through its members' data areas, by role.
class MdArrayView : public DeviceView {
 public:
  MdArrayView(const MdGeometry& geometry, std::vector<std::shared_ptr<DeviceView>> members)
      : geometry_(geometry), members_(std::move(members)) {}
  CVoError readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) override;
  CVoError length(int64_t* bytes) override;

 private:
  MdGeometry geometry_;
  std::vector<std::shared_ptr<DeviceView>> members_;
};

// The layer probe (layers.def): the member's superblock, and with the array's contents found
// through it (RAID1 alone, the others with every member named in ctx.options->members), a layer
// that maps this member's share of their used ranges.
std::unique_ptr<Layer> probeMd(const std::shared_ptr<DeviceView>& view, int64_t length,
                               const LayerContext& ctx, bool* found, CVoError* err);

}  // namespace fsbmp

#endif
