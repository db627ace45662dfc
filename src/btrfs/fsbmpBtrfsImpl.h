// What the btrfs parser keeps out of its installed header: the superblock it chose, the chunk
// map, the other devices named as members, and the reads of tree blocks through that map.
#ifndef FSBMP_FSBMPBTRFSIMPL_H
#define FSBMP_FSBMPBTRFSIMPL_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "btrfs/fsbmpBtrfsLayout.h"
#include "fsbmp/fsbmpBtrfs.h"

namespace fsbmp {
namespace btrfs {

struct Stripe {
  uint64_t devid = 0;
  uint64_t offset = 0;  // physical, on that device
  unsigned char uuid[16] = {};
};

// A chunk: a range of logical space and where it lies, and what the walk found of its block
// group.
struct Chunk {
  uint64_t start = 0;
  uint64_t length = 0;
  uint64_t stripeLen = 0;
  uint64_t type = 0;
  uint16_t subStripes = 0;
  std::vector<Stripe> stripes;
  // The block group's item, once read, and what the walk's items add up to.
  bool hasGroup = false;
  uint64_t groupUsed = 0;
  uint64_t groupFlags = 0;
  uint64_t counted = 0;
  bool freeSpaceInfo = false;  // the free-space tree covers it

  // Strips of data in a row (a full stripe), copies of each, parity strips of a row; and the
  // bytes each stripe holds on its device.
  uint64_t dataStrips() const;
  uint64_t copies() const;
  uint64_t parity() const;
  bool striped() const;
  uint64_t deviceLength() const;
};

// A tree's key.
struct Key {
  uint64_t objectid = 0;
  uint8_t type = 0;
  uint64_t offset = 0;
};
Key readKey(const unsigned char* at);
int compareKeys(const Key& a, const Key& b);

// A UUID as text (8-4-4-4-12 hex digits).
std::string formatUuid(const unsigned char* u);
// The name of a profile ("single", "DUP", "RAID1", ...) of chunk type bits.
const char* profileName(uint64_t type);
// The name of a checksum type, or null for one not known.
const char* csumName(int type);
// The bytes a checksum of `type` occupies at the start of a block.
size_t csumBytes(int type);

}  // namespace btrfs
}  // namespace fsbmp

struct __attribute__((visibility("hidden"))) FsParserBtrfs::Impl {
  explicit Impl(FsParserBtrfs& parser) : fs(parser) {}
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // The superblock: reads every copy that fits, keeps the newest that verifies.
  CVoError readSuper(const JxCodeLocation& where);
  // Checks one copy in `sb` read from `offset`: magic, its own offset, checksum. "" when sound.
  std::string checkSuper(const unsigned char* sb, uint64_t offset, int* csumType) const;
  // Computes the checksum of `type` over `length` bytes into out (32 bytes); errno 38 for a type
  // this build can't compute.
  CVoError checksum(const JxCodeLocation& where, int type, const unsigned char* data, size_t length,
                    unsigned char* out) const;

  // The chunk map: the superblock's system chunks, then the chunk tree.
  CVoError addChunk(const JxCodeLocation& where, uint64_t logical, const unsigned char* item,
                    uint32_t size, const char* from, int errNo);
  CVoError readSystemChunks(const JxCodeLocation& where);
  CVoError readChunkTree(const JxCodeLocation& where);
  // The chunk that holds logical byte `logical`, or null.
  fsbmp::btrfs::Chunk* chunkAt(uint64_t logical);
  // The copies of [logical, logical + length) that lie in one strip of `chunk`: the stripe and
  // the physical offset of each.
  std::vector<std::pair<const fsbmp::btrfs::Stripe*, uint64_t>> copiesOf(
      const fsbmp::btrfs::Chunk& chunk, uint64_t logical, uint64_t length) const;
  // Calls fn(physical, length) for every piece of this device that holds a copy or parity of
  // logical [logical, logical + length) of `chunk` (which must hold it all).
  void forEachLocal(const fsbmp::btrfs::Chunk& chunk, uint64_t logical, uint64_t length,
                    const std::function<void(uint64_t, uint64_t)>& fn) const;

  // Reads the tree block at `logical` into `buf` (nodeSize bytes) from the first copy that
  // verifies (checksum, its address, the file system's id, `level`, `generation` unless 0).
  CVoError readTreeBlock(const JxCodeLocation& where, uint64_t logical, int level,
                         uint64_t generation, unsigned char* buf);
  // Walks the tree rooted at `logical` (level `level`): fn for each leaf item (key, data, size),
  // block for each block's logical address (may be null). Each block is read once, keys checked
  // in order and within their parent's range.
  typedef std::function<CVoError(const fsbmp::btrfs::Key&, const unsigned char*, uint32_t)> ItemFn;
  CVoError walkTree(const JxCodeLocation& where, const char* name, uint64_t logical, int level,
                    uint64_t generation, const ItemFn& fn,
                    const std::function<void(uint64_t)>& block = nullptr);
  // The roots of the trees the walk reads, from the root tree (found once).
  CVoError findRoots(const JxCodeLocation& where);
  struct Root {
    uint64_t bytenr = 0;
    uint64_t generation = 0;
    int level = 0;
    bool found = false;
  };
  // Looks up the item of key `target` in the tree at `root`: *found, and its data in *out.
  // Blocks read on the way are kept in `seen` (when given), so that look-ups of keys in order
  // read each node once: at most the tree's nodes above its leaves, and the last leaf.
  typedef std::map<uint64_t, std::vector<unsigned char>> BlockCache;
  CVoError findItem(const JxCodeLocation& where, const char* name, const Root& root,
                    const fsbmp::btrfs::Key& target, std::vector<unsigned char>* out, bool* found,
                    BlockCache* seen = nullptr);

  // Marks logical [logical, logical + length) used on this device; errors for a range outside
  // the chunks. With `holder`, *holder becomes the chunk that holds the range, and an empty
  // range, which no chunk holds, is refused as outside; without, an empty one marks nothing.
  CVoError markLogical(const JxCodeLocation& where, uint64_t logical, uint64_t length,
                       fsbmp::btrfs::Chunk** holder = nullptr);
  void markPhysical(uint64_t physical, uint64_t length);
  // The walks of used space.
  CVoError walkExtentTree(const JxCodeLocation& where);
  CVoError walkFreeSpaceTree(const JxCodeLocation& where);
  CVoError walkBlockGroups(const JxCodeLocation& where);
  CVoError walkDevExtents(const JxCodeLocation& where);
  CVoError walkLog(const JxCodeLocation& where);
  // The bytes of block group `c` that hold superblock copies on any of its devices, as the
  // kernel leaves them out of its free space.
  uint64_t superBytes(const fsbmp::btrfs::Chunk& c) const;

  FsParserBtrfs& fs;
  unsigned char sb[fsbmp::btrfs::kSuperSize] = {};
  uint64_t superOffset = 0;  // where the chosen copy was read
  unsigned char fsid[16] = {};
  unsigned char metadataUuid[16] = {};  // what tree blocks carry
  unsigned char devUuid[16] = {};
  uint64_t devid = 0;
  uint64_t devTotalBytes = 0;
  uint64_t numDevices = 0;
  uint64_t generation = 0;
  uint32_t nodeSize = 0;
  uint32_t sectorSize = 0;
  int csumType = 0;
  uint64_t incompat = 0;
  uint64_t compatRo = 0;
  uint64_t logRoot = 0;
  int logRootLevel = 0;

  std::map<uint64_t, fsbmp::btrfs::Chunk> chunks;
  bool chunkTreeRead = false;
  CVoError chunkTreeError;

  Root extentRoot, devRoot, freeSpaceRoot, blockGroupRoot;
  bool rootsFound = false;
  bool usedFreeSpaceTree = false;  // what the last map came from

  // Other devices of the file system, by devid.
  struct Member {
    std::string path;
    std::unique_ptr<CVoFile> file;
    std::shared_ptr<fsbmp::DeviceView> view;
    unsigned char uuid[16] = {};
  };
  std::map<uint64_t, Member> members;

  // The walk in progress: its bitmap and geometry.
  unsigned char* bitmap = nullptr;
  uint64_t chunkBytes = 0;
  uint64_t nChunks = 0;
};

#endif
