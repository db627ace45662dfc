// VxFS's on-disk layout as the parser reads it, from the device or through fsdb: the superblock's
// place and magic, the allocation units, and the per-group block maps of the IFEMP file.
#ifndef FSBMP_FSBMPVXFSLAYOUT_H
#define FSBMP_FSBMPVXFSLAYOUT_H

namespace fsbmp {
namespace vxfs {

// The superblock opens the second 8 KiB of the device with its magic; fsdb prints the magic as
// kMagicText.
const int kSuperblockOffset = 8192;
const unsigned char kMagic[4] = {0xa5, 0x01, 0xfc, 0xf5};
const char kMagicText[] = "a501fcf5";

// Blocks of an allocation unit when the superblock gives none.
const int kDefaultAuBlocks = 32768;

// A map group: 2048 blocks, described by the first 256 bytes of a 512-byte IFEMP record.
const int kGroupBlocks = 2048;
const int kMapRecordBytes = 512;
const int kMapBytes = 256;

}  // namespace vxfs
}  // namespace fsbmp

#endif
