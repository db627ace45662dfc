// The MBR in sector 0 and the chain of extended boot records behind an extended partition.
// Entries count in the device's logical sectors (512 bytes, or 4096 on a 4Kn disk); the records
// themselves fill the first 512 bytes of their sector. Every field is little-endian.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "core/coding.h"
#include "disk/disk_layout.h"
#include "disk/disk_table.h"

static const char kFile[] = "disk_mbr";
#define HERE JX_LOCATION(kFile)

namespace fsbmp {

namespace {

const int kMaxLogical = 256;  // EBRs followed at most

// FAT and NTFS boot sectors end in 0x55AA too, and their boot code lies where entries would.
bool isVolumeBootSector(const unsigned char* s) {
  if (!memcmp(s + kOffOemName, "NTFS    ", 8) || !memcmp(s + kOffOemName, "EXFAT   ", 8))
    return true;
  const unsigned bytesPerSector = decodeLE16(s + kOffBytesPerSector);
  const bool bpb = (s[0] == 0xEB || s[0] == 0xE9) &&
                   (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 ||
                    bytesPerSector == 4096) &&
                   s[kOffSectorsPerCluster] != 0 &&
                   (s[kOffSectorsPerCluster] & (s[kOffSectorsPerCluster] - 1)) == 0;
  return bpb && (!memcmp(s + kOffFat16Type, "FAT", 3) || !memcmp(s + kOffFat32Type, "FAT", 3));
}

std::string typeText(unsigned type) {
  char text[8];
  snprintf(text, sizeof text, "0x%02x", type);
  return text;
}

CVoError readRecord(DeviceView* view, int64_t lba, int64_t sectorBytes, unsigned char* record,
                    bool* whole) {
  uint32_t got = 0;
  CVoError err = view->readAt(lba * sectorBytes, record, kMbrRecord, &got);
  if (err.code < 0) return err.Push(HERE, "Couldn't read sector %lld", static_cast<long long>(lba));
  *whole = got == kMbrRecord;
  return CVoError();
}

// Follows the EBR chain of the extended partition [extFirst, extFirst + extCount) and appends
// the logical partitions it finds. A link that is not sane ends the chain: what lies behind it
// stays outside every partition, and so counts as used.
CVoError readLogical(DeviceView* view, int64_t sectorBytes, int64_t extFirst, int64_t extCount,
                     DiskTable* table) {
  const int64_t extEnd = extFirst + extCount;
  std::set<int64_t> seen;
  int64_t ebr = extFirst;
  int number = 5;
  for (int n = 0; n < kMaxLogical; ++n) {
    if (ebr < extFirst || ebr >= extEnd || !seen.insert(ebr).second) break;
    unsigned char sector[kMbrRecord];
    bool whole = false;
    CVoError err = readRecord(view, ebr, sectorBytes, sector, &whole);
    if (err.code < 0) return err;
    if (!whole || !hasBootSignature(sector)) break;
    const MbrEntry logical = mbrEntryAt(sector, 0);
    if (logical.type != 0 && logical.count != 0) {
      const int64_t first = ebr + logical.first;
      if (logical.first == 0 || first + logical.count > extEnd) break;
      table->slots.push_back(TableSlot{number++, first * sectorBytes, logical.count * sectorBytes,
                                       typeText(logical.type)});
    }
    const MbrEntry link = mbrEntryAt(sector, 1);
    if (!isExtendedType(link.type) || link.first == 0) break;
    ebr = extFirst + link.first;
  }
  return CVoError();
}

}  // namespace

CVoError readMbr(DeviceView* view, int64_t devBytes, int64_t sectorBytes, MbrKind* kind,
                 DiskTable* table) {
  *kind = MbrKind::kNone;
  unsigned char sector[kMbrRecord];
  bool whole = false;
  CVoError err = readRecord(view, 0, sectorBytes, sector, &whole);
  if (err.code < 0) return err;
  if (!whole || !hasBootSignature(sector) || isVolumeBootSector(sector)) return CVoError();

  const int64_t devSectors = devBytes / sectorBytes;
  MbrEntry entries[4];
  bool protective = false;
  int used = 0;
  for (int i = 0; i < 4; ++i) {
    const MbrEntry e = entries[i] = mbrEntryAt(sector, i);
    if (e.type == 0) continue;
    if (e.status != kStatusInactive && e.status != kStatusActive) return CVoError();
    ++used;
    if (e.type == kTypeGptProtective) {
      // The protective entry covers the whole disk as it was when the GPT was written, or
      // 2^32 - 1 sectors on a larger one: only its start is checked.
      if (e.first != 1) return CVoError();
      protective = true;
      continue;
    }
    if (e.first == 0 || e.count == 0 || e.first + static_cast<int64_t>(e.count) > devSectors)
      return CVoError();
    for (int j = 0; j < i; ++j) {
      const MbrEntry& o = entries[j];
      if (o.type == 0 || o.type == kTypeGptProtective) continue;
      if (e.first < static_cast<int64_t>(o.first) + o.count &&
          o.first < static_cast<int64_t>(e.first) + e.count)
        return CVoError();
    }
  }
  if (used == 0) return CVoError();
  if (protective) {
    *kind = MbrKind::kProtective;
    return CVoError();
  }

  *kind = MbrKind::kPlain;
  table->kind = DiskTable::kMbr;
  table->sectorZeroMbr = true;
  table->slots.clear();
  for (int i = 0; i < 4; ++i) {
    const MbrEntry& e = entries[i];
    if (e.type == 0 || isExtendedType(e.type)) continue;
    table->slots.push_back(
        TableSlot{i + 1, e.first * sectorBytes, e.count * sectorBytes, typeText(e.type)});
  }
  for (int i = 0; i < 4; ++i) {
    if (!isExtendedType(entries[i].type)) continue;
    err = readLogical(view, sectorBytes, entries[i].first, entries[i].count, table);
    if (err.code < 0) return err;
  }
  return CVoError();
}

}  // namespace fsbmp
