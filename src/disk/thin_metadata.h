// A device-mapper thin pool's metadata (the persistent-data format of its _tmeta volume), read
// without device-mapper: the superblock in block 0, the data space map's root (how many data
// blocks the pool has), the device-details B-tree (thin device id -> mapped blocks, transaction)
// and the two-level mapping B-tree (thin device id -> thin block -> pool data block). Metadata
// blocks are 4 KiB; every field is little-endian; the superblock and each B-tree node carry a
// CRC-32C of the block past its own checksum, xored with a salt of their kind.
#ifndef FSBMP_THIN_METADATA_H
#define FSBMP_THIN_METADATA_H

#include <cstdint>
#include <vector>

#include "core/device_view.h"
#include "fsbmp/services/error.h"

namespace fsbmp {

const int kThinMetadataBlock = 4096;

// Consecutive thin blocks mapped onto consecutive pool data blocks.
struct ThinRun {
  uint64_t thinBlock;
  uint64_t dataBlock;
  uint64_t count;
};

struct ThinDevice {
  uint64_t id = 0;
  bool detailed = false;      // listed in the device-details tree
  uint64_t mappedBlocks = 0;  // as the details count them
  uint64_t transactionId = 0;
  std::vector<ThinRun> runs;  // thin blocks ascending
  // The blocks its mapping tree maps.
  uint64_t mapped() const;
  // The data block that thin block `b` lies in; false when it is not mapped.
  bool find(uint64_t b, uint64_t* data) const;
};

struct ThinMetadata {
  uint32_t version = 0;
  uint64_t transactionId = 0;
  uint32_t dataBlockSectors = 0;  // the pool's block, in 512-byte sectors
  uint64_t dataBlocks = 0;        // the data device's size in pool blocks
  uint64_t dataAllocated = 0;     // as the data space map counts them
  uint64_t metadataBlocks = 0;
  std::vector<ThinDevice> devices;  // ids ascending
};

// Reads and checks the metadata at the start of `view` (`length` bytes). Errno 38 when it cannot
// be trusted to say which data blocks are in use: a checksum, magic or block number that does not
// match, a version or feature not known, the needs_check flag (the pool awaits thin_check or
// repair), a metadata snapshot held for userspace, a B-tree node out of shape (entries past its
// capacity, keys not ascending, a node reached twice or out of the metadata, deeper than any real
// tree) or a mapping to a data block past the pool's end.
CVoError readThinMetadata(DeviceView* view, int64_t length, ThinMetadata* out);

}  // namespace fsbmp

#endif
