// LUKS1 and LUKS2 containers as a layer of a disk. The container's header, its key slots and
// anything else before the data segment count used; the data segment (encrypted) counts used
// whole unless the caller names the device that decrypts it (FsDisk::Options::decrypted, a
// /dev/mapper node that cryptsetup opened): then the decrypted device's contents are mapped onto
// the segment, sector for sector.
//
// Which decrypted device belongs to which container: a device-mapper node names its container
// by its dm UUID ("CRYPT-LUKS2-<uuid without dashes>-<name>"), and a container takes the named
// device whose UUID is its own. A path without a dm-crypt UUID (an image file standing in for
// the decrypted device) is taken by a container that has no device of its own: the first such
// path, not taken by another container of the disk, whose size is what dm-crypt gives for its
// data segment. A named device that no container takes refuses the disk (FsDisk::open fails,
// naming it and its size), and so does a dm-crypt node whose size is not its container's data
// segment's: mapping a device that decrypts something else would lose data. A container probed
// by itself (no disk around it) takes the first path when none fits, and refuses it.
//
// LUKS1: the big-endian phdr at sector 0 (payload offset in sectors, eight key slots with their
// key material's offset and AF stripes). LUKS2: two binary headers (primary at 0, secondary at
// its hdr_size), each sealed with its checksum algorithm over the whole header and JSON area;
// the verified one with the higher seqid is read, and its JSON gives the data segment, the key
// slots' areas and the sizes of the metadata. Containers in the middle of a reencryption (more
// than one segment, or a mandatory requirement) count used whole.
#ifndef FSBMP_DISK_LUKS_H
#define FSBMP_DISK_LUKS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/layer.h"

namespace fsbmp {

// What the header of a container says, as far as mapping it goes.
struct LuksHeader {
  int version = 0;  // 1 or 2
  std::string uuid;
  std::string cipher;      // "aes-xts-plain64"
  int sectorSize = 512;    // of the data segment (LUKS2; LUKS1 is always 512)
  int64_t dataOffset = 0;  // bytes from the region's start
  int64_t dataSize = -1;   // bytes, or -1: to the region's end ("dynamic")
  int activeKeyslots = 0;
  int64_t headerBytes = 0;  // LUKS2: both binary headers with their JSON areas, and the key
                            // slots' area after them (config.keyslots_size); LUKS1: the phdr
  struct Area {
    int64_t offset;
    int64_t length;
  };
  std::vector<Area> keyslotAreas;  // bytes from the region's start
  bool fromSecondary = false;      // LUKS2: the secondary header was the one read
};

// Reads the header of a container in the region [0, length) of `view`. *found false when no LUKS
// magic is at its start (a LUKS2 secondary header alone does not count); found with an
// error when the container cannot be read safely (no header whose checksum verifies, JSON that
// does not parse or lacks what is needed, a data segment outside the region, a reencryption).
CVoError readLuksHeader(DeviceView* view, int64_t length, bool* found, LuksHeader* out);

// The bytes dm-crypt gives the decrypted device of a container in a region of `length` bytes.
int64_t luksDecryptedBytes(const LuksHeader& h, int64_t length);

std::unique_ptr<Layer> probeLuks(const std::shared_ptr<DeviceView>& view, int64_t length,
                                 const LayerContext& ctx, bool* found, CVoError* err);

}  // namespace fsbmp

#endif
