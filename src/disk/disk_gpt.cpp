// The GUID partition table: a header at LBA 1 and its entry array, a backup of both at the end of
// the device, each header and array sealed by a CRC-32. Every field is little-endian.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/checksums.h"
#include "core/coding.h"
#include "core/crc32.h"
#include "disk/disk_layout.h"
#include "disk/disk_table.h"

static const char kFile[] = "disk_gpt";
#define HERE JX_LOCATION(kFile)

namespace fsbmp {

uint32_t crc32Gpt(const unsigned char* p, size_t n) {
  return ~crc32(0xFFFFFFFFu, p, n);
}

namespace {

const uint32_t kMaxArrayBytes = 4u << 20;  // far above the 16 KiB every tool writes

std::string guidText(const unsigned char* g) {
  char text[40];
  snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", decodeLE32(g),
           decodeLE16(g + 4), decodeLE16(g + 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14],
           g[15]);
  return text;
}

bool readWhole(DeviceView* view, int64_t offset, unsigned char* buf, uint32_t size, CVoError* err) {
  uint32_t got = 0;
  *err = view->readAt(offset, buf, size, &got);
  if (err->code < 0) {
    err->Push(HERE, "Couldn't read %u bytes at %lld", size, static_cast<long long>(offset));
    return false;
  }
  return got == size;
}

// The header at `lba` for sectors of `sectorSize` bytes, and its entries, when both verify.
// *found tells; an error is a failed read or a verified table that does not fit the device.
CVoError tryHeader(DeviceView* view, int64_t devBytes, int64_t sectorSize, int64_t lba, bool* found,
                   DiskTable* table) {
  *found = false;
  const int64_t devSectors = devBytes / sectorSize;
  if (lba < 1 || lba >= devSectors) return CVoError();
  std::vector<unsigned char> header(static_cast<size_t>(sectorSize));
  CVoError err;
  if (!readWhole(view, lba * sectorSize, header.data(), static_cast<uint32_t>(sectorSize), &err))
    return err;
  const unsigned char* h = header.data();
  if (memcmp(h, kGptSignature, sizeof kGptSignature) != 0) return CVoError();
  const uint32_t headerSize = decodeLE32(h + kOffGptHeaderSize);
  if (headerSize < kGptMinHeaderSize || headerSize > sectorSize) return CVoError();
  const uint32_t headerCrc = decodeLE32(h + kOffGptHeaderCrc);
  encodeLE32(header.data() + kOffGptHeaderCrc, 0);
  if (crc32Gpt(h, headerSize) != headerCrc && kChecksumsRefuse) return CVoError();
  if (static_cast<int64_t>(decodeLE64(h + kOffGptMyLba)) != lba) return CVoError();

  const uint64_t arrayLba = decodeLE64(h + kOffGptArrayLba);
  const uint32_t count = decodeLE32(h + kOffGptEntryCount);
  const uint32_t entrySize = decodeLE32(h + kOffGptEntrySize);
  const uint32_t arrayCrc = decodeLE32(h + kOffGptArrayCrc);
  if (entrySize < kGptMinEntrySize || entrySize % 8 != 0 || count > kMaxArrayBytes / entrySize)
    return CVoError();
  const uint32_t arrayBytes = count * entrySize;
  if (arrayLba < 1 || arrayLba >= static_cast<uint64_t>(devSectors) ||
      static_cast<int64_t>(arrayLba) * sectorSize + arrayBytes > devBytes)
    return CVoError();
  std::vector<unsigned char> entries(arrayBytes);
  if (!readWhole(view, static_cast<int64_t>(arrayLba) * sectorSize, entries.data(), arrayBytes,
                 &err))
    return err;
  if (crc32Gpt(entries.data(), arrayBytes) != arrayCrc && kChecksumsRefuse) return CVoError();

  // Verified: from here on the device is a GPT disk, and a table that does not fit it is an error.
  *found = true;
  table->kind = DiskTable::kGpt;
  table->slots.clear();
  static const unsigned char kUnused[kGuidBytes] = {0};
  for (uint32_t i = 0; i < count; ++i) {
    const unsigned char* e = entries.data() + static_cast<size_t>(i) * entrySize;
    if (!memcmp(e, kUnused, kGuidBytes)) continue;
    const uint64_t first = decodeLE64(e + kOffGptEntryFirst);
    const uint64_t last = decodeLE64(e + kOffGptEntryLast);
    if (first == 0 || first > last || last >= static_cast<uint64_t>(devSectors)) {
      return JxErrorUtil::ErrorErrNo(
          HERE, ENOSYS,
          "GPT partition %u (sectors %llu-%llu) lies outside the device of %lld sectors", i + 1,
          static_cast<unsigned long long>(first), static_cast<unsigned long long>(last),
          static_cast<long long>(devSectors));
    }
    table->slots.push_back(
        TableSlot{static_cast<int>(i + 1), static_cast<int64_t>(first) * sectorSize,
                  static_cast<int64_t>(last - first + 1) * sectorSize, guidText(e)});
  }
  return CVoError();
}

}  // namespace

CVoError readGpt(DeviceView* view, int64_t devBytes, bool* found, DiskTable* table) {
  *found = false;
  static const int64_t kSectorSizes[] = {512, 4096};
  for (int64_t sectorSize : kSectorSizes) {
    CVoError err = tryHeader(view, devBytes, sectorSize, 1, found, table);
    if (err.code < 0 || *found) return err;
  }
  for (int64_t sectorSize : kSectorSizes) {
    CVoError err = tryHeader(view, devBytes, sectorSize, devBytes / sectorSize - 1, found, table);
    if (*found) table->fromBackup = true;
    if (err.code < 0 || *found) return err;
  }
  return CVoError();
}

}  // namespace fsbmp
