// btrfs images made by mkfs.btrfs at test time, and what `btrfs inspect-internal dump-tree`
// says each device of them uses: the oracle of the btrfs map, which reads nothing of ours.
#ifndef FSBMP_TESTS_BTRFS_IMAGES_H
#define FSBMP_TESTS_BTRFS_IMAGES_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/oracle.h"

namespace btrfs_test {

struct Stripe {
  uint64_t devid = 0;
  uint64_t offset = 0;  // on its device
};

// A chunk of the chunk tree: the logical range and where its stripes lie.
struct Chunk {
  uint64_t logical = 0;
  uint64_t length = 0;
  uint64_t stripeLen = 0;
  uint64_t type = 0;  // block-group flags (kData, ... and the profile bits)
  int subStripes = 1;
  std::vector<Stripe> stripes;
};

// Block-group type and profile bits as the chunk tree stores them.
enum : uint64_t {
  kData = 1,
  kSystem = 2,
  kMetadata = 4,
  kRaid0 = 8,
  kRaid1 = 16,
  kDup = 32,
  kRaid10 = 64,
  kRaid5 = 128,
  kRaid6 = 256,
  kRaid1C3 = 512,
  kRaid1C4 = 1024,
};

// A device of a btrfs file system as dump-super and dump-tree read it. `used` (per sector of this
// device, blockCount = its dev item's total_bytes / sector size): the superblock copies that fit,
// everything below 1 MiB, each copy here of every extent of the extent tree (and of the log trees
// with their file extents where the superblock names a log root), parity strips of RAID5/6 whose
// full stripe holds a used data strip, and dev extents of chunks without a data, metadata or
// system block group.
struct Image : fsbmp_test::OracleImage {
  std::vector<std::string> members;  // every device of the file system, this one among them
  uint64_t devid = 0;
  std::string devUuid;
  std::string fsid;
  std::string label;
  int nodeSize = 0;
  int csumType = 0;
  uint64_t compatRo = 0;
  uint64_t incompat = 0;
  uint64_t logRoot = 0;
  int numDevices = 0;
  std::vector<Chunk> chunks;
  std::map<uint64_t, uint64_t> blockGroupUsed;  // logical start -> used bytes
  std::map<uint64_t, uint64_t> extentSum;       // logical start of a block group -> its extents
  std::vector<std::pair<uint64_t, uint64_t>> logExtents;  // logical start, length
  uint64_t usedBytes() const;                             // bytes of this device `used` covers
};

// Reads device `which` of the file system on `members` (all of them, in any order).
Image describe(const std::vector<std::string>& members, size_t which);
// The oracle of btrfs in the shared table: describe() of the single device at `image->path`.
void readDumpTree(fsbmp_test::OracleImage* image);

// Runs `script` (sh, in the mounted root) on the file system of `members` through loop devices,
// then unmounts; `options` go to mount. Unmounts and detaches on every way out. Returns why it
// could not ("" when it did); a failing script or umount fails the current test too.
std::string withMount(const std::vector<std::string>& members, const std::string& script,
                      const std::string& options = "");

// The superblock's own checksum restored after an edit (crc32c images only), in every copy of
// the superblock the file holds.
void resealSuperblocks(const std::string& path);
// Applies `edit` to the bytes of each superblock copy of `path` and reseals them.
void editSuperblocks(const std::string& path, void (*edit)(std::vector<unsigned char>* sb));

}  // namespace btrfs_test

#endif
