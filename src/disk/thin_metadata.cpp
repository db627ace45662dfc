// Reading a thin pool's metadata: the superblock, then each B-tree walked depth first with every
// node checked before anything in it is used.
#include "disk/thin_metadata.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <unordered_set>

#include "core/checksums.h"
#include "core/coding.h"
#include "fsbmp/services/crc32c.h"

static const char kFile[] = "thin_metadata";
#define HERE JX_LOCATION(kFile)

namespace fsbmp {

namespace {

// The superblock.
const uint64_t kThinMagic = 27022010;
const uint32_t kSuperblockSalt = 160774;
const int kOffSbFlags = 4;
const int kOffSbBlocknr = 8;
const int kOffSbMagic = 32;
const int kOffSbVersion = 40;
const int kOffSbTransaction = 48;
const int kOffSbHeldRoot = 56;
const int kOffSbDataSpaceMap = 64;
const int kOffSbMappingRoot = 320;
const int kOffSbDetailsRoot = 328;
const int kOffSbDataBlockSize = 336;
const int kOffSbMetadataBlockSize = 340;
const int kOffSbMetadataBlocks = 344;
const int kOffSbCompatRo = 356;
const int kOffSbIncompat = 360;
const uint32_t kNeedsCheck = 1;
// A space map's root: nr_blocks, nr_allocated, then its own trees' roots.
const int kOffSmAllocated = 8;

// B-tree nodes: a 32-byte header, max_entries keys, then max_entries values.
const uint32_t kNodeSalt = 121107;
const int kOffNodeFlags = 4;
const int kOffNodeBlocknr = 8;
const int kOffNodeEntries = 16;
const int kOffNodeMax = 20;
const int kOffNodeValueSize = 24;
const int kNodeHeader = 32;
const uint32_t kInternalNode = 1;
const uint32_t kLeafNode = 2;
const int kDetailsValue = 24;  // mapped_blocks, transaction_id, creation and snapshot times
const int kOffDetailsTransaction = 8;

// Deeper than a tree of 4 KiB nodes over 2^64 keys can be.
const int kMaxDepth = 32;
const uint64_t kMaxDevices = 1 << 24;  // thin device ids are 24 bits

CVoError damaged(const char* what) {
  return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "Thin pool metadata: %s", what);
}

uint32_t blockChecksum(const unsigned char* block, uint32_t salt) {
  uint32_t crc = 0xFFFFFFFFu;
  mb_crc32c(block + 4, kThinMetadataBlock - 4, &crc);
  return crc ^ salt;
}

class Reader {
 public:
  Reader(DeviceView* view, int64_t length, uint64_t blocks)
      : view_(view),
        blocks_(std::min<uint64_t>(blocks, static_cast<uint64_t>(length / kThinMetadataBlock))) {
    // Snapshots share subtrees, so a node may be read once per device that reaches it; the
    // bound only stops hostile trees that point many devices at everything.
    budget_ = std::max<uint64_t>(blocks_ * 64, 1 << 16);
  }

  CVoError read(uint64_t block, unsigned char* buf) {
    if (block >= blocks_) return damaged("a B-tree node outside the metadata");
    uint32_t got = 0;
    CVoError err = view_->readAt(static_cast<int64_t>(block) * kThinMetadataBlock, buf,
                                 kThinMetadataBlock, &got);
    if (err.code < 0)
      return err.Push(HERE, "Couldn't read thin pool metadata block %llu",
                      static_cast<unsigned long long>(block));
    if (got != kThinMetadataBlock) return damaged("a block past the end of the metadata");
    return CVoError();
  }

  // Calls leaf(key, value) for each entry of the tree at `root`, keys ascending, values of
  // `valueSize` bytes. Each node is checked, and read at most once in this walk.
  CVoError walk(uint64_t root, uint32_t valueSize,
                const std::function<CVoError(uint64_t, const unsigned char*)>& leaf) {
    seen_.clear();
    first_ = true;
    return node(root, valueSize, 0, leaf);
  }

 private:
  CVoError node(uint64_t block, uint32_t valueSize, int depth,
                const std::function<CVoError(uint64_t, const unsigned char*)>& leaf) {
    if (depth > kMaxDepth) return damaged("a B-tree deeper than any the format makes");
    if (!seen_.insert(block).second) return damaged("a B-tree node reached twice");
    if (budget_-- == 0) return damaged("more B-tree nodes than the metadata can hold");
    std::vector<unsigned char> buf(kThinMetadataBlock);
    unsigned char* b = buf.data();
    CVoError err = read(block, b);
    if (err.code < 0) return err;
    if (decodeLE32(b) != blockChecksum(b, kNodeSalt) && kChecksumsRefuse)
      return damaged("a B-tree node's checksum does not match");
    if (decodeLE64(b + kOffNodeBlocknr) != block)
      return damaged("a B-tree node that names another block");
    const uint32_t flags = decodeLE32(b + kOffNodeFlags);
    const uint32_t n = decodeLE32(b + kOffNodeEntries), max = decodeLE32(b + kOffNodeMax);
    const uint32_t size = decodeLE32(b + kOffNodeValueSize);
    const bool internal = flags == kInternalNode;
    if (!internal && flags != kLeafNode) return damaged("a B-tree node neither internal nor leaf");
    if (size != (internal ? 8u : valueSize))
      return damaged("a B-tree node of the wrong value size");
    if (n > max || max > (kThinMetadataBlock - kNodeHeader) / (8 + size))
      return damaged("a B-tree node with more entries than it holds");
    if (n == 0 && (internal || depth > 0)) return damaged("an empty B-tree node below the root");
    const unsigned char* keys = b + kNodeHeader;
    const unsigned char* values = keys + static_cast<size_t>(max) * 8;
    for (uint32_t i = 0; i < n; ++i) {
      const uint64_t key = decodeLE64(keys + 8 * i);
      if (internal) {
        if (i > 0 && key <= decodeLE64(keys + 8 * (i - 1)))
          return damaged("a B-tree node's keys not ascending");
        err = node(decodeLE64(values + 8 * i), valueSize, depth + 1, leaf);
      } else {
        if (!first_ && key <= last_) return damaged("a B-tree's keys not ascending");
        first_ = false;
        last_ = key;
        err = leaf(key, values + static_cast<size_t>(size) * i);
      }
      if (err.code < 0) return err;
    }
    return CVoError();
  }

  DeviceView* view_;
  uint64_t blocks_;
  uint64_t budget_;
  std::unordered_set<uint64_t> seen_;
  bool first_ = true;
  uint64_t last_ = 0;
};

}  // namespace

uint64_t ThinDevice::mapped() const {
  uint64_t total = 0;
  for (const ThinRun& r : runs) total += r.count;
  return total;
}

bool ThinDevice::find(uint64_t b, uint64_t* data) const {
  auto it = std::upper_bound(runs.begin(), runs.end(), b,
                             [](uint64_t v, const ThinRun& r) { return v < r.thinBlock; });
  if (it == runs.begin()) return false;
  --it;
  if (b - it->thinBlock >= it->count) return false;
  *data = it->dataBlock + (b - it->thinBlock);
  return true;
}

CVoError readThinMetadata(DeviceView* view, int64_t length, ThinMetadata* out) {
  *out = ThinMetadata();
  if (length < kThinMetadataBlock) return damaged("shorter than its superblock");
  std::vector<unsigned char> buf(kThinMetadataBlock);
  const unsigned char* sb = buf.data();
  uint32_t got = 0;
  CVoError err = view->readAt(0, buf.data(), kThinMetadataBlock, &got);
  if (err.code < 0) return err.Push(HERE, "Couldn't read the thin pool's superblock");
  if (got != kThinMetadataBlock) return damaged("shorter than its superblock");
  if (decodeLE64(sb + kOffSbMagic) != kThinMagic) return damaged("no superblock magic");
  if (decodeLE32(sb) != blockChecksum(sb, kSuperblockSalt) && kChecksumsRefuse)
    return damaged("the superblock's checksum does not match");
  if (decodeLE64(sb + kOffSbBlocknr) != 0) return damaged("a superblock that names another block");
  out->version = decodeLE32(sb + kOffSbVersion);
  if (out->version < 1 || out->version > 2) return damaged("a version not known");
  if (decodeLE32(sb + kOffSbIncompat) != 0 || decodeLE32(sb + kOffSbCompatRo) != 0)
    return damaged("features not known");
  if (decodeLE32(sb + kOffSbFlags) & kNeedsCheck)
    return damaged("flagged needs_check: the pool awaits thin_check or repair");
  if (decodeLE64(sb + kOffSbHeldRoot) != 0)
    return damaged("a metadata snapshot is held (its mappings may keep data blocks)");
  if (decodeLE32(sb + kOffSbMetadataBlockSize) != kThinMetadataBlock / 512)
    return damaged("a metadata block size other than 4 KiB");
  out->transactionId = decodeLE64(sb + kOffSbTransaction);
  out->dataBlockSectors = decodeLE32(sb + kOffSbDataBlockSize);
  if (out->dataBlockSectors < 128 || out->dataBlockSectors > (1u << 21) ||
      out->dataBlockSectors % 128 != 0)
    return damaged("a data block size that is not a multiple of 64 KiB up to 1 GiB");
  out->metadataBlocks = decodeLE64(sb + kOffSbMetadataBlocks);
  out->dataBlocks = decodeLE64(sb + kOffSbDataSpaceMap);
  out->dataAllocated = decodeLE64(sb + kOffSbDataSpaceMap + kOffSmAllocated);
  const uint64_t blockBytes = uint64_t(out->dataBlockSectors) * 512;
  // Thin blocks and data blocks far enough from 2^63 bytes that offsets never overflow.
  const uint64_t maxBlocks = (uint64_t(1) << 62) / blockBytes;
  if (out->dataAllocated > out->dataBlocks || out->dataBlocks > maxBlocks)
    return damaged("a data space map that does not add up");
  const uint64_t mappingRoot = decodeLE64(sb + kOffSbMappingRoot);
  const uint64_t detailsRoot = decodeLE64(sb + kOffSbDetailsRoot);

  Reader reader(view, length, out->metadataBlocks);
  std::vector<ThinDevice>& devices = out->devices;
  err = reader.walk(detailsRoot, kDetailsValue, [&](uint64_t id, const unsigned char* v) {
    if (id >= kMaxDevices) return damaged("a thin device id past 24 bits");
    ThinDevice d;
    d.id = id;
    d.detailed = true;
    d.mappedBlocks = decodeLE64(v);
    d.transactionId = decodeLE64(v + kOffDetailsTransaction);
    devices.push_back(std::move(d));
    return CVoError();
  });
  if (err.code < 0) return err;
  std::vector<std::pair<uint64_t, uint64_t>> roots;  // device id, its mapping tree
  err = reader.walk(mappingRoot, 8, [&](uint64_t id, const unsigned char* v) {
    if (id >= kMaxDevices) return damaged("a thin device id past 24 bits");
    roots.emplace_back(id, decodeLE64(v));
    return CVoError();
  });
  if (err.code < 0) return err;
  for (const auto& [id, root] : roots) {
    auto it = std::lower_bound(devices.begin(), devices.end(), id,
                               [](const ThinDevice& d, uint64_t v) { return d.id < v; });
    if (it == devices.end() || it->id != id) {
      ThinDevice d;
      d.id = id;
      it = devices.insert(it, std::move(d));
    }
    std::vector<ThinRun>& runs = it->runs;
    err = reader.walk(root, 8, [&](uint64_t thin, const unsigned char* v) {
      const uint64_t data = decodeLE64(v) >> 24;  // the low 24 bits are the mapping's time
      if (thin >= maxBlocks) return damaged("a thin block past any volume's end");
      if (data >= out->dataBlocks) return damaged("a mapping to a data block past the pool's end");
      if (!runs.empty()) {
        ThinRun& r = runs.back();
        if (r.thinBlock + r.count == thin && r.dataBlock + r.count == data) {
          ++r.count;
          return CVoError();
        }
      }
      runs.push_back({thin, data, 1});
      return CVoError();
    });
    if (err.code < 0) return err;
  }
  return CVoError();
}

}  // namespace fsbmp
