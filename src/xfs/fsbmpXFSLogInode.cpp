#include "xfs/fsbmpXFSLogInode.h"

#include <algorithm>
#include <cstring>

#include "core/coding.h"
#include "xfs/fsbmpXFSCrc.h"
#include "xfs/fsbmpXFSInodeFormat.h"

namespace fsbmp {

namespace {

using namespace fsbmp::xfs;

// Inode item format (writer's byte order): type 0, regions 2, fields 4, attribute fork bytes 8,
// data fork bytes 10, then (after 4 bytes of padding on 64-bit hosts) inode number, device,
// buffer's basic block, its length and the inode's offset in it.
const size_t kFormat64 = 56;
const size_t kFormat32 = 52;
const int kOffIlfRegions = 2;
const int kOffIlfFields = 4;
const int kOffIlfBlock64 = 40;
const int kOffIlfBlock32 = 36;

const uint32_t kLogDData = 0x002;
const uint32_t kLogDExt = 0x004;
const uint32_t kLogDBroot = 0x008;
const uint32_t kLogAData = 0x040;
const uint32_t kLogAExt = 0x080;
const uint32_t kLogABroot = 0x100;
const uint32_t kLogDFork = kLogDData | kLogDExt | kLogDBroot;
const uint32_t kLogAFork = kLogAData | kLogAExt | kLogABroot;

// The logged core is the inode core field for field, in the writer's byte order: version 3's
// whole 176 bytes, or versions 1 and 2 up to the unlinked-list pointer.
const size_t kLogCoreV3 = 176;
const size_t kLogCoreV2 = 96;
const int kOffDiFlushIter = 30;  // 16-bit, versions 1 and 2
const int kOffDiCRC = 100;       // little-endian, version 3
const int kOffDiLsn = 112;
const int kOffDiIno = 152;
const int kOffDiUuid = 160;
const int kOffDiGen = 92;
const int kOffDiNextUnlinked = 96;
const uint64_t kDiFlag2Bigtime = 0x8;  // timestamps are 64-bit nanosecond counts
const uint16_t kMaxFlush = 0xFFFF;

// Inode-create item: type and regions in the writer's order, then six big-endian words.
const size_t kCreateBytes = 28;

struct Field {
  uint8_t at;
  uint8_t width;  // bytes; 0: copied as they stand
  uint8_t bytes;
};

// Every version's fields, then version 3's, then versions 1 and 2's own.
const Field kCommon[] = {
    {0, 2, 2},  {2, 2, 2},  {4, 1, 1},  {5, 1, 1},  {6, 2, 2},  {8, 4, 4},  {12, 4, 4},
    {16, 4, 4}, {20, 2, 2}, {22, 2, 2}, {56, 8, 8}, {64, 8, 8}, {72, 4, 4}, {76, 4, 4},
    {80, 2, 2}, {82, 1, 1}, {83, 1, 1}, {84, 4, 4}, {88, 2, 2}, {90, 2, 2}, {92, 4, 4},
};
const Field kV3[] = {{24, 8, 8},  {96, 4, 4},   {104, 8, 8}, {120, 8, 8},
                     {128, 4, 4}, {132, 0, 12}, {152, 8, 8}, {160, 0, 16}};
const Field kV2[] = {{24, 0, 6}, {30, 2, 2}};
const uint8_t kTimestamps[] = {32, 40, 48};
const uint8_t kTimestampV3 = 144;  // creation time

class Converter {
 public:
  Converter(const unsigned char* log, bool bigEndian, unsigned char* disk)
      : log_(log), bigEndian_(bigEndian), disk_(disk) {}

  uint64_t read(int at, int width) const {
    const unsigned char* p = log_ + at;
    switch (width) {
      case 1:
        return p[0];
      case 2:
        return bigEndian_ ? decodeBE16(p) : decodeLE16(p);
      case 4:
        return bigEndian_ ? decodeBE32(p) : decodeLE32(p);
      default:
        return bigEndian_ ? decodeBE64(p) : decodeLE64(p);
    }
  }

  void put(const Field& f) const {
    unsigned char* p = disk_ + f.at;
    switch (f.width) {
      case 0:
        memcpy(p, log_ + f.at, f.bytes);
        break;
      case 1:
        p[0] = log_[f.at];
        break;
      case 2:
        encodeBE16(p, static_cast<uint16_t>(read(f.at, 2)));
        break;
      case 4:
        encodeBE32(p, static_cast<uint32_t>(read(f.at, 4)));
        break;
      default:
        encodeBE64(p, read(f.at, 8));
        break;
    }
  }

  // A 64-bit count of nanoseconds, or seconds and nanoseconds as two 32-bit words.
  void putTimestamp(int at, bool bigtime) const {
    if (bigtime) {
      put(Field{static_cast<uint8_t>(at), 8, 8});
    } else {
      put(Field{static_cast<uint8_t>(at), 4, 4});
      put(Field{static_cast<uint8_t>(at + 4), 4, 4});
    }
  }

 private:
  const unsigned char* log_;
  bool bigEndian_;
  unsigned char* disk_;
};

void sealInode(unsigned char* inode, uint32_t size) {
  encodeLE32(inode + kOffDiCRC, metadataCRC(inode, size, kOffDiCRC));
}

// A block-map B-tree root as the kernel keeps it in memory and logs it (a long-form block
// header, keys and pointers spaced for the logged size) turned into the inode's own form (level,
// count, keys and pointers spaced for the fork). Null, or why it can't be.
const char* rootToFork(const std::vector<unsigned char>& logged, bool v3, unsigned char* fork,
                       uint32_t forkBytes) {
  const size_t header = v3 ? kLongHeaderCRC : kLongHeader;
  const size_t pair = kBmbtKeySize + kBmbtPointerSize;
  if (logged.size() < header + pair || forkBytes < kBmdrHeader + pair)
    return "a block-map root too small for one record";
  const size_t loggedSlots = (logged.size() - header) / pair;
  const size_t forkSlots = (forkBytes - kBmdrHeader) / pair;
  const uint16_t records = decodeBE16(logged.data() + kOffLongRecords);
  if (records == 0 || records > loggedSlots || records > forkSlots)
    return "a block-map root whose record count does not fit";
  memset(fork, 0, forkBytes);
  memcpy(fork + kOffBmdrLevel, logged.data() + kOffLongLevel, 2);
  memcpy(fork + kOffBmdrRecords, logged.data() + kOffLongRecords, 2);
  memcpy(fork + kBmdrHeader, logged.data() + header, records * size_t{kBmbtKeySize});
  memcpy(fork + kBmdrHeader + forkSlots * kBmbtKeySize,
         logged.data() + header + loggedSlots * kBmbtKeySize, records * size_t{kBmbtPointerSize});
  return nullptr;
}

// Lays one logged fork over the inode's fork of `forkBytes` bytes at `fork`.
const char* putFork(const std::vector<unsigned char>& logged, uint32_t how, bool v3,
                    unsigned char* fork, uint32_t forkBytes) {
  if (how & (kLogDBroot | kLogABroot)) return rootToFork(logged, v3, fork, forkBytes);
  if (logged.size() > forkBytes) return "a logged fork larger than the inode's";
  memcpy(fork, logged.data(), logged.size());
  return nullptr;
}

}  // namespace

bool readXfsInodeItemPlace(const std::vector<unsigned char>& format, bool bigEndian,
                           XfsInodeItemPlace* place) {
  if (format.size() != kFormat64 && format.size() != kFormat32) return false;
  Converter c(format.data(), bigEndian, nullptr);
  const int at = format.size() == kFormat64 ? kOffIlfBlock64 : kOffIlfBlock32;
  place->regions = static_cast<uint32_t>(c.read(kOffIlfRegions, 2));
  place->fields = static_cast<uint32_t>(c.read(kOffIlfFields, 4));
  place->block = static_cast<int64_t>(c.read(at, 8));
  place->length = static_cast<int32_t>(c.read(at + 8, 4));
  place->offset = static_cast<int32_t>(c.read(at + 12, 4));
  return true;
}

const char* applyXfsInodeItem(const std::vector<std::vector<unsigned char>>& regions,
                              const XfsInodeItemPlace& place, bool bigEndian, uint64_t lsn,
                              const XfsInodeShape& shape, unsigned char* inode, bool* applied) {
  *applied = false;
  if (regions.size() < 2 || regions.size() > 4 || regions.size() != place.regions)
    return "an inode item of an impossible number of regions";
  const std::vector<unsigned char>& core = regions[1];
  const size_t coreBytes = shape.v3 ? kLogCoreV3 : kLogCoreV2;
  if (core.size() < coreBytes) return "an inode item whose core is cut short";
  if (decodeBE16(inode + kOffDiMagic) != kInodeMagic) return "an inode item over a non-inode";
  Converter log(core.data(), bigEndian, inode);
  if (log.read(kOffDiMagic, 2) != kInodeMagic) return "an inode item whose core is no inode";

  // Recovery leaves alone what the device holds as new already.
  if (inode[kOffDiVersion] >= 3) {
    const uint64_t stored = decodeBE64(inode + kOffDiLsn);
    if (stored != 0 && stored != ~uint64_t{0} && stored >= lsn) return nullptr;
  }
  if (!shape.v3) {
    const uint16_t logged = static_cast<uint16_t>(log.read(kOffDiFlushIter, 2));
    const uint16_t stored = decodeBE16(inode + kOffDiFlushIter);
    if (logged < stored && !(stored == kMaxFlush && logged < (kMaxFlush >> 1))) return nullptr;
  }

  for (const Field& f : kCommon) log.put(f);
  bool bigtime = false;
  if (shape.v3) {
    for (const Field& f : kV3) log.put(f);
    bigtime = (log.read(kOffDiFlags2, 8) & kDiFlag2Bigtime) != 0;
    log.putTimestamp(kTimestampV3, bigtime);
    encodeBE64(inode + kOffDiLsn, lsn);
  } else {
    for (const Field& f : kV2) log.put(f);
    encodeBE16(inode + kOffDiFlushIter, 0);  // as recovery resets it
  }
  for (uint8_t at : kTimestamps) log.putTimestamp(at, bigtime);

  // The forks, where the item logged them: the data fork's region first.
  const uint32_t forkArea = shape.inodeSize - (shape.v3 ? kInodeCoreV3 : kInodeCoreV2);
  unsigned char* forks = inode + (shape.v3 ? kInodeCoreV3 : kInodeCoreV2);
  const uint32_t attrAt = static_cast<uint32_t>(inode[kOffDiForkOff]) * 8;
  if (attrAt >= forkArea) return "an inode item whose attribute fork lies past the inode";
  size_t next = 2;
  if (place.fields & kLogDFork) {
    if (next >= regions.size()) return "an inode item without its logged data fork";
    const char* why = putFork(regions[next++], place.fields & kLogDFork, shape.v3, forks,
                              attrAt ? attrAt : forkArea);
    if (why) return why;
  }
  if (place.fields & kLogAFork) {
    if (next >= regions.size() || attrAt == 0)
      return "an inode item without its logged attribute fork";
    const char* why = putFork(regions[next++], place.fields & kLogAFork, shape.v3, forks + attrAt,
                              forkArea - attrAt);
    if (why) return why;
  }
  if (shape.v3) sealInode(inode, shape.inodeSize);
  *applied = true;
  return nullptr;
}

const char* readXfsInodeCreate(const std::vector<unsigned char>& region, const XfsInodeShape& shape,
                               XfsInodeCreate* create) {
  if (region.size() < kCreateBytes) return "an inode-create item cut short";
  const unsigned char* p = region.data() + 4;
  create->ag = decodeBE32(p);
  create->agBlock = decodeBE32(p + 4);
  create->count = decodeBE32(p + 8);
  create->inodeSize = decodeBE32(p + 12);
  create->blocks = decodeBE32(p + 16);
  create->generation = decodeBE32(p + 20);
  const uint64_t inodes = static_cast<uint64_t>(create->blocks) << shape.inopbLog;
  if (create->ag >= shape.agCount || create->inodeSize != shape.inodeSize || create->blocks == 0 ||
      create->count == 0 || create->count > inodes ||
      static_cast<uint64_t>(create->agBlock) + create->blocks > shape.agBlocks ||
      create->blocks > 1024)
    return "an inode-create item outside its AG or of another inode size";
  return nullptr;
}

void initXfsInodes(const XfsInodeCreate& create, const XfsInodeShape& shape,
                   unsigned char* buffer) {
  const size_t bytes = static_cast<size_t>(create.blocks) * static_cast<size_t>(shape.blockSize);
  memset(buffer, 0, bytes);
  const uint64_t first = (static_cast<uint64_t>(create.ag) << (shape.agBlockLog + shape.inopbLog)) |
                         (static_cast<uint64_t>(create.agBlock) << shape.inopbLog);
  for (size_t i = 0; i * shape.inodeSize < bytes; ++i) {
    unsigned char* inode = buffer + i * shape.inodeSize;
    encodeBE16(inode + kOffDiMagic, kInodeMagic);
    inode[kOffDiVersion] = shape.v3 ? 3 : 2;
    encodeBE32(inode + kOffDiGen, create.generation);
    encodeBE32(inode + kOffDiNextUnlinked, 0xFFFFFFFF);
    if (!shape.v3) continue;
    encodeBE64(inode + kOffDiIno, first + i);
    memcpy(inode + kOffDiUuid, shape.metaUuid, sizeof shape.metaUuid);
    sealInode(inode, shape.inodeSize);
  }
}

}  // namespace fsbmp
