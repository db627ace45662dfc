// On-disk formats that the disk map reads: the MBR and its extended boot records, the GPT, the
// boot sectors of FAT and NTFS volumes that look like an MBR, the Linux swap header, and the
// LVM2 physical volume's label and metadata area header. Every field is little-endian, but for
// the swap header's, which are in the byte order of the machine that wrote them.
#ifndef FSBMP_DISK_LAYOUT_H
#define FSBMP_DISK_LAYOUT_H

#include <cstddef>
#include <cstdint>

#include "core/coding.h"

namespace fsbmp {

// MBR and EBR: a 512-byte record at the start of its sector, four 16-byte entries from byte 446,
// and the boot signature 0x55 0xAA in its last two bytes.
const int64_t kMbrRecord = 512;
const int kMbrEntries = 446;
const int kMbrEntryBytes = 16;
const int kOffBootSignature = 510;
const unsigned kStatusInactive = 0x00;
const unsigned kStatusActive = 0x80;
const unsigned kTypeGptProtective = 0xEE;

struct MbrEntry {
  unsigned status;
  unsigned type;
  uint32_t first;  // LBA
  uint32_t count;  // sectors
};

// Entry `i` (0 to 3) of the record in `sector`.
inline MbrEntry mbrEntryAt(const unsigned char* sector, int i) {
  const unsigned char* e = sector + kMbrEntries + kMbrEntryBytes * i;
  return MbrEntry{e[0], e[4], decodeLE32(e + 8), decodeLE32(e + 12)};
}

// The types of an extended partition: DOS, Windows (LBA) and Linux.
inline bool isExtendedType(unsigned type) {
  return type == 0x05 || type == 0x0F || type == 0x85;
}

inline bool hasBootSignature(const unsigned char* sector) {
  return sector[kOffBootSignature] == 0x55 && sector[kOffBootSignature + 1] == 0xAA;
}

// A volume boot sector: the OEM name, then the BIOS parameter block with the bytes per sector
// (16 bits) and the sectors per cluster (8 bits); FAT12/16 and FAT32 name their type at
// different places.
const int kOffOemName = 3;
const int kOffBytesPerSector = 11;
const int kOffSectorsPerCluster = 13;
const int kOffFat16Type = 54;
const int kOffFat32Type = 82;

// GPT header, at LBA 1 and, as the backup, at the device's last LBA. Its CRC-32 covers its
// `size` bytes with the CRC field as zeros; the entry array's CRC-32 covers the whole array.
const char kGptSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
const int kOffGptHeaderSize = 12;
const int kOffGptHeaderCrc = 16;
const int kOffGptMyLba = 24;
const int kOffGptArrayLba = 72;
const int kOffGptEntryCount = 80;
const int kOffGptEntrySize = 84;
const int kOffGptArrayCrc = 88;
const uint32_t kGptMinHeaderSize = 92;
const uint32_t kGptMinEntrySize = 128;

// GPT entry: the type GUID (all zeros in an unused entry), then the first and last LBA.
const size_t kGuidBytes = 16;
const int kOffGptEntryFirst = 32;
const int kOffGptEntryLast = 40;

// Linux swap: its signature in the last bytes of its first page, whichever of the page sizes it
// was made for; the version (1) and the last page at byte 1024.
const int kSwapPageSizes[] = {4096, 8192, 16384, 65536};
const char kSwapSignature[10] = {'S', 'W', 'A', 'P', 'S', 'P', 'A', 'C', 'E', '2'};
const int kOffSwapVersion = 1024;
const int kOffSwapLastPage = 4;  // from kOffSwapVersion
const uint32_t kSwapVersion = 1;
// The signatures that a hibernation image leaves where the swap signature was.
const char* const kHibernationSignatures[] = {"S1SUSPEND", "S2SUSPEND", "ULSUSPEND", "LINHIB0001",
                                              "\xed\xc3\x02\xe9\x98\x56\xe5\x0c"};

// LVM2 counts its metadata in 512-byte sectors.
const int64_t kLvmSector = 512;

// LVM2 label: in one of the first four sectors, its id, the sector's own number, a CRC-32 of the
// sector from kOffLabelHeader on, where in the sector the PV header begins, and its type; 32
// bytes in all.
const int kLabelSectors = 4;
const char kLabelId[8] = {'L', 'A', 'B', 'E', 'L', 'O', 'N', 'E'};
const int kOffLabelSector = 8;
const int kOffLabelCrc = 16;
const int kOffLabelHeader = 20;
const int kOffLabelType = 24;
const char kLabelType[8] = {'L', 'V', 'M', '2', ' ', '0', '0', '1'};
const uint32_t kLabelBytes = 32;

// PV header: the PV's UUID (32 characters), its size, then two lists of areas, each ended by an
// entry of zeros: the data areas, then the metadata areas.
const int kPvUuidBytes = 32;
const int kOffPvAreas = 40;
const int kAreaEntryBytes = 16;  // offset from the PV's start, then size
const int kOffAreaSize = 8;

// Metadata area header, at the area's start: a CRC-32 of its bytes from kOffMdaMagic on, the
// magic, the version, then raw locations, of which the first is the current text's: its offset
// from the area's start, size, CRC-32 and flags.
const int64_t kMdaHeader = 512;
const int kOffMdaMagic = 4;
const char kMdaMagic[] = " LVM2 x[5A%r0N*>";
const size_t kMdaMagicBytes = 16;
const int kOffMdaVersion = 20;
const uint32_t kMdaVersion = 1;
const int kOffMdaTextOffset = 40;
const int kOffMdaTextSize = 48;
const int kOffMdaTextCrc = 56;
const int kOffMdaTextFlags = 60;
const uint32_t kTextIgnored = 1;  // flag: the location is not to be read

// LVM2's CRC-32 starts from this seed and is not inverted at the end.
const uint32_t kLvmCrcSeed = 0xf597a6cfu;

}  // namespace fsbmp

#endif
