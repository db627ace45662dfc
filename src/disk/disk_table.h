// Partition tables, read from the start (and, for a GPT, the end) of a device view: the MBR with
// its chain of extended boot records, and the GPT with its backup. Only what the map needs is
// kept: where each data partition lies and what type it declares.
#ifndef FSBMP_DISK_TABLE_H
#define FSBMP_DISK_TABLE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/device_view.h"
#include "fsbmp/fsbmp.h"
#include "fsbmp/services/error.h"

namespace fsbmp {

// One data partition as the table declares it (extended partitions, the containers of logical
// ones, are not listed: their EBRs lie between the logical partitions).
struct TableSlot {
  int number;      // as Linux numbers it: MBR primaries 1-4, logical partitions from 5; GPT entries
  int64_t start;   // byte offset on the device
  int64_t length;  // bytes
  std::string type;  // MBR: "0x83"; GPT: the type GUID in its usual text form
};

struct DiskTable {
  enum Kind { kNone, kMbr, kGpt };
  Kind kind = kNone;
  bool fromBackup = false;     // GPT: the primary header did not verify; read from the backup
  bool sectorZeroMbr = false;  // sector 0 holds a sane MBR (for a GPT: protective or hybrid)
  std::vector<TableSlot> slots;
  const char* name() const { return kind == kMbr ? "MBR" : kind == kGpt ? "GPT" : "none"; }
};

// What sector 0 holds.
enum class MbrKind {
  kNone,        // no boot signature, a FAT/NTFS boot sector, or entries that are not sane
  kPlain,       // a sane MBR without a GPT entry
  kProtective,  // a sane MBR with a 0xEE entry: the GPT's protective (or hybrid) MBR
};

// Reads sector 0. For a plain MBR, the primaries (and the logical partitions reached through the
// EBR chain, which is bounded and stops at the first link that is not sane) go into *table.
// Entries are sane when their status byte is 0x00 or 0x80, their type nonzero, they start at
// sector 1 or later, end within the device and do not overlap one another.
// `sectorBytes` is the device's logical sector size, which the entries count in.
CVoError readMbr(DeviceView* view, int64_t devBytes, int64_t sectorBytes, MbrKind* kind,
                 DiskTable* table);

// Reads a GPT whose header and entry-array CRC-32s verify: the primary at LBA 1, else the backup
// at the device's last LBA, for 512- and 4096-byte sectors. *found is false when neither
// verifies; partitions outside the device are refused (errno 38).
CVoError readGpt(DeviceView* view, int64_t devBytes, bool* found, DiskTable* table);

// The table on the device, if any: a plain MBR, else a GPT. A protective MBR whose GPT verifies
// nowhere is refused (errno 38); so is a GPT declaring a partition outside the device.
CVoError readPartitionTable(DeviceView* view, int64_t devBytes, int64_t sectorBytes,
                            DiskTable* table);

// The logical sector size of the device open at `fd`: the kernel's for a block device, 512 for
// an image file.
int64_t logicalSectorBytes(int fd);

// The factory on a whole device: refuses (errno 38) a device whose partition table makes it a
// disk, whatever old superblock survives in front of its first partition; else the parsers'
// verdict, as probeView gives it.
FsParser* probeWholeDevice(const std::string& dev, CVoError* err,
                           std::vector<FsParser::Refusal>* refusals);

// The first line of a small sysfs file, trailing blanks cut; "" when it cannot be read.
std::string readSysfsLine(const std::string& path);

// The length in bytes of the device or image at `path`.
CVoError measureDevice(const std::string& path, int64_t* bytes);

// The device node of partition `number` of the block device open at `fd` ("/dev/sdb2"), found
// through sysfs; "" for an image file, or when the kernel lists no such partition.
std::string partitionNode(int fd, int number);

// CRC-32 as GPT uses it (reflected 0x04C11DB7, inverted before and after).
uint32_t crc32Gpt(const unsigned char* p, size_t n);

}  // namespace fsbmp

#endif
