// XFS: the scan of every file that setVerify asks for. Per AG, the inode B-tree leads to every
// inode chunk; each inode in use is read and every block its data and attribute forks name
// (extent lists, block-map B-trees with their blocks) is marked used in addition to what the
// by-block trees say. The trees' own blocks (by-block, by-count, inode and free-inode trees,
// reverse-mapping and reference-count trees, walked level by level), the AGFL's blocks, the AG
// headers and the internal log are marked too. The blocks that the by-block trees call free are
// counted and reported. The data fork of a realtime file maps the realtime device: its extents
// are not marked here, its B-tree blocks (on this device) are.
#include "xfs/fsbmpXFSVerify.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <map>
#include <vector>

#include "core/chunks.h"
#include "core/coding.h"
#include "core/device_view.h"
#include "core/location.h"
#include "core/verify_report.h"
#include "xfs/fsbmpXFSImpl.h"
#include "xfs/fsbmpXFSInodeFormat.h"
#include "xfs/fsbmpXFSLayout.h"

using namespace fsbmp::xfs;

namespace {

// No tree of an AG, and no block-map B-tree, gets this tall.
const unsigned kMaxLevels = 9;
// Bytes of inode chunks that follow each other on the device read in one request at most.
const uint32_t kChunkReadBytes = 256 * 1024;

// What the scan needs of the superblock beyond the walk's geometry.
struct InodeGeometry {
  uint32_t inodeSize = 0;
  int inopbLog = 0;  // log2 of inodes per block
  uint64_t dataBlocks = 0;
  uint64_t realtimeBlocks = 0;
  bool sparse = false;
  bool finobt = false;
  bool rmapbt = false;
  bool reflink = false;
};

class FileScan {
 public:
  FileScan(FsParserXFS& fs, const JxCodeLocation& where, const InodeGeometry& geo, int sectorBytes,
           bool replayed, unsigned char* bitmap, int chunkShift, uint64_t nChunks,
           VerifyState* record)
      : fs_(fs),
        where_(where),
        geo_(geo),
        sectorBytes_(sectorBytes),
        replayed_(replayed),
        bitmap_(bitmap),
        chunkShift_(chunkShift),
        nChunks_(nChunks),
        record_(record),
        bs_(static_cast<uint32_t>(fs.blockSize)),
        header_(fs.hasCRC ? kTreeHeaderCRC : kTreeHeader) {}

  CVoError run();
  uint64_t inodesScanned() const { return inodesScanned_; }

 private:
  CVoError scanAg(uint32_t ag);
  CVoError markAgfl(uint32_t ag, const unsigned char* agf);
  // Walks a short-form tree of the AG level by level, through each level's sibling chain, and
  // marks its blocks; the inode tree's leaves are scanned too (`inodes`). Along each level the
  // primary key, the 32-bit field at `keyAt` of a record or key, must never go down.
  CVoError walkShortTree(uint32_t ag, uint32_t root, uint32_t levels, uint32_t magic, int keySize,
                         int keyAt, const char* what, bool inodes);
  // An inode chunk of an inode-tree record: its first inode, its blocks (AG-relative) and the
  // inodes in use in it (not free, not in a hole).
  struct ChunkSpan {
    uint32_t start;
    uint64_t first;
    uint64_t blocks;
    uint64_t inUse;
  };
  CVoError scanInodeLeaf(uint32_t ag, const unsigned char* leaf, uint32_t records);
  // Checks the record `rec` and marks its chunk's blocks but those of its holes.
  CVoError chunkSpan(uint32_t ag, const unsigned char* rec, ChunkSpan* span);
  // Scans the inodes in use of a chunk read into `data`.
  CVoError scanChunk(uint32_t ag, const ChunkSpan& span, const unsigned char* data);
  CVoError scanInode(uint64_t ino, const unsigned char* raw);
  CVoError walkFork(const unsigned char* fork, uint32_t bytes, int format, uint64_t extents,
                    bool realtime, const char* which);
  CVoError walkExtents(const unsigned char* recs, uint64_t count, bool realtime);
  CVoError walkMapBlock(uint64_t fsb, unsigned level, bool realtime);
  // The device block of `count` blocks at AG-encoded block `fsb`, all inside one AG.
  CVoError toDevice(uint64_t fsb, uint64_t count, const char* what, uint64_t* block);
  CVoError charge(uint64_t count);
  CVoError fail(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void use(uint64_t first, uint64_t count);
  // How many free extents start at or before `block`: extents of files near each other are
  // looked up near each other, so the search starts from the last answer (finger_).
  size_t freeAfter(uint64_t block);
  void noteFree(uint64_t first, uint64_t count);

  FsParserXFS& fs_;
  const JxCodeLocation& where_;
  const InodeGeometry geo_;
  const int sectorBytes_;
  // Read through the log's replay, which leaves inodes as the device holds them: an inode the
  // log allocated may have no core yet, and one it changed an older block count.
  const bool replayed_;
  unsigned char* const bitmap_;
  const int chunkShift_;
  const uint64_t nChunks_;     // the bitmap's; blocks past them are used already
  VerifyState* const record_;  // null: mark only
  const uint32_t bs_;
  const int header_;

  uint64_t inodesScanned_ = 0;
  uint64_t ino_ = 0;     // the inode being read, for messages and the report
  uint64_t budget_ = 0;  // blocks it may still name: its block count
  std::vector<unsigned char> sector_, node_, chunk_;
  std::vector<ChunkSpan> spans_;  // of the inode-tree leaf being scanned
  std::vector<unsigned char> levels_[kMaxLevels];
  // Blocks already reported, first to end: a block two files name is counted once.
  std::map<uint64_t, uint64_t> reported_;
  size_t finger_ = 0;
  fsbmp::FreeRuns freeRuns_{record_ ? &record_->report : nullptr};
};

CVoError FileScan::fail(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return JxErrorUtil::ErrorErrNo(FSBMP_AT(where_), ENOSYS, "%s", text);
}

CVoError FileScan::run() {
  sector_.resize(static_cast<size_t>(sectorBytes_));
  node_.resize(bs_);
  for (auto& level : levels_) level.resize(bs_);
  // The internal log lies inside one AG; checkLog refused any other.
  if (fs_.logStart != 0) {
    const uint64_t ag = fs_.logStart >> fs_.agBlockLog;
    const uint64_t inAg = fs_.logStart & ((uint64_t{1} << fs_.agBlockLog) - 1);
    use(ag * fs_.agBlocks + inAg, fs_.logBlocks);
  }
  for (uint32_t ag = 0; ag < fs_.agCount; ++ag) {
    CVoError err = scanAg(ag);
    if (err.code < 0) return err;
  }
  if (record_) record_->report.inodesScanned = inodesScanned_;
  return CVoError();
}

CVoError FileScan::scanAg(uint32_t ag) {
  const uint64_t agStart = static_cast<uint64_t>(ag) * fs_.agBlocks;
  // The superblock copy, AGF, AGI and AGFL: the AG's first four sectors.
  const uint64_t headerBlocks = (4ull * static_cast<uint64_t>(sectorBytes_) + bs_ - 1) / bs_;
  use(agStart, std::min<uint64_t>(headerBlocks, fs_.agLengths[ag]));
  const long long firstSector = static_cast<long long>(agStart) * (fs_.blockSize / sectorBytes_);

  ino_ = 0;
  CVoError err = fs_.readBlocks(sector_.data(), sectorBytes_, firstSector + 1, 1);
  if (err.code < 0) return err.Push(FSBMP_AT(where_), "Failed to read AGF of AG %u", ag);
  std::vector<unsigned char> agf(sector_);
  err = markAgfl(ag, agf.data());
  if (err.code < 0) return err;
  const uint32_t fsMagic = fs_.hasCRC ? kTreeMagicCRC : kTreeMagic;
  const uint32_t cntMagic = fs_.hasCRC ? kByCountMagicCRC : kByCountMagic;
  err = walkShortTree(ag, fsbmp::decodeBE32(agf.data() + kOffAgfByBlockRoot),
                      fsbmp::decodeBE32(agf.data() + kOffAgfByBlockLevels), fsMagic, kRecordSize, 0,
                      "by-block free-space tree", false);
  if (err.code >= 0)
    err = walkShortTree(ag, fsbmp::decodeBE32(agf.data() + kOffAgfByCountRoot),
                        fsbmp::decodeBE32(agf.data() + kOffAgfByCountLevels), cntMagic, kRecordSize,
                        kByCountKeyAt, "by-count free-space tree", false);
  if (err.code >= 0 && geo_.rmapbt)
    err = walkShortTree(ag, fsbmp::decodeBE32(agf.data() + kOffAgfRmapRoot),
                        fsbmp::decodeBE32(agf.data() + kOffAgfRmapLevels), kRmapMagicCRC,
                        kRmapKeySize, 0, "reverse-mapping tree", false);
  if (err.code >= 0 && geo_.reflink)
    err = walkShortTree(ag, fsbmp::decodeBE32(agf.data() + kOffAgfRefcountRoot),
                        fsbmp::decodeBE32(agf.data() + kOffAgfRefcountLevels), kRefcountMagicCRC,
                        kRefcountKeySize, 0, "reference-count tree", false);
  if (err.code < 0) return err;

  err = fs_.readBlocks(sector_.data(), sectorBytes_, firstSector + kAgiSector, 1);
  if (err.code < 0) return err.Push(FSBMP_AT(where_), "Failed to read AGI of AG %u", ag);
  const uint32_t agiMagic = fsbmp::decodeBE32(sector_.data() + kOffAgiMagic);
  if (agiMagic != kAgiMagic) {
    return fail("Incorrect AGI magic of AG %u of %s: 0x%08x instead of 0x%08x", ag,
                fs_.devPath.c_str(), agiMagic, kAgiMagic);
  }
  const std::vector<unsigned char> agi(sector_);
  if (geo_.finobt) {
    err = walkShortTree(ag, fsbmp::decodeBE32(agi.data() + kOffAgiFreeRoot),
                        fsbmp::decodeBE32(agi.data() + kOffAgiFreeLevels),
                        fs_.hasCRC ? kFinobtMagicCRC : kFinobtMagic, kInobtKeySize, 0,
                        "free-inode tree", false);
    if (err.code < 0) return err;
  }
  return walkShortTree(ag, fsbmp::decodeBE32(agi.data() + kOffAgiRoot),
                       fsbmp::decodeBE32(agi.data() + kOffAgiLevels),
                       fs_.hasCRC ? kInobtMagicCRC : kInobtMagic, kInobtKeySize, 0, "inode tree",
                       true);
}

CVoError FileScan::markAgfl(uint32_t ag, const unsigned char* agf) {
  const uint32_t first = fsbmp::decodeBE32(agf + kOffAgfFlFirst);
  const uint32_t count = fsbmp::decodeBE32(agf + kOffAgfFlCount);
  const int header = fs_.hasCRC ? kAgflHeaderCRC : 0;
  const uint32_t slots = static_cast<uint32_t>(sectorBytes_ - header) / 4;
  if (count == 0) return CVoError();
  if (first >= slots || count > slots) {
    return fail("AGF of AG %u of %s puts %u AGFL blocks from slot %u of its %u", ag,
                fs_.devPath.c_str(), count, first, slots);
  }
  const long long sector =
      static_cast<long long>(ag) * fs_.agBlocks * (fs_.blockSize / sectorBytes_) + kAgflSector;
  CVoError err = fs_.readBlocks(sector_.data(), sectorBytes_, sector, 1);
  if (err.code < 0) return err.Push(FSBMP_AT(where_), "Failed to read AGFL of AG %u", ag);
  const uint64_t agStart = static_cast<uint64_t>(ag) * fs_.agBlocks;
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t block = fsbmp::decodeBE32(sector_.data() + header + 4 * ((first + k) % slots));
    if (block >= fs_.agLengths[ag]) {
      return fail("AGFL of AG %u of %s names block %u, outside the AG's %u blocks", ag,
                  fs_.devPath.c_str(), block, fs_.agLengths[ag]);
    }
    use(agStart + block, 1);
  }
  return CVoError();
}

CVoError FileScan::walkShortTree(uint32_t ag, uint32_t root, uint32_t levels, uint32_t magic,
                                 int keySize, int keyAt, const char* what, bool inodes) {
  const uint32_t limit = fs_.agLengths[ag];
  const uint64_t agStart = static_cast<uint64_t>(ag) * fs_.agBlocks;
  if (levels == 0 || levels > kMaxLevels) {
    return fail("AG %u of %s has a %s of %u levels, outside 1 to %u", ag, fs_.devPath.c_str(), what,
                levels, kMaxLevels);
  }
  const uint32_t nodeSlots =
      (bs_ - static_cast<uint32_t>(header_)) / static_cast<uint32_t>(keySize + kPointerSize);
  const uint32_t leafSlots = (bs_ - static_cast<uint32_t>(header_)) / kInobtRecordSize;
  uint32_t first = root;
  for (uint32_t level = levels - 1;; --level) {
    uint32_t block = first, blocks = 0, below = kNoSibling;
    bool keyed = false;
    uint32_t lastKey = 0;
    while (block != kNoSibling) {
      // Every block of a level is a distinct block of the AG; keys never go down along it.
      if (block >= limit || ++blocks > limit) {
        return fail(
            "AG %u of %s: %s block %u at level %u lies outside the AG's %u blocks or "
            "comes round again",
            ag, fs_.devPath.c_str(), what, block, level, limit);
      }
      CVoError err =
          fs_.readBlocks(node_.data(), fs_.blockSize, static_cast<long long>(agStart + block), 1);
      if (err.code < 0)
        return err.Push(FSBMP_AT(where_), "Couldn't read %s block %u of AG %u", what, block, ag);
      const unsigned char* b = node_.data();
      const uint32_t got = fsbmp::decodeBE32(b + kOffTreeMagic);
      const uint32_t gotLevel = fsbmp::decodeBE16(b + kOffTreeLevel);
      const uint32_t records = fsbmp::decodeBE16(b + kOffTreeRecords);
      const uint32_t slots = level > 0 ? nodeSlots : inodes ? leafSlots : records;
      if (got != magic || gotLevel != level || records > slots || (level > 0 && records == 0)) {
        return fail(
            "AG %u of %s: %s block %u is damaged: magic 0x%08x (0x%08x expected), "
            "level %u (%u expected), %u records",
            ag, fs_.devPath.c_str(), what, block, got, magic, gotLevel, level, records);
      }
      use(agStart + block, 1);
      if (records > 0) {
        const uint32_t key = fsbmp::decodeBE32(b + header_ + keyAt);
        const uint32_t endKey = fsbmp::decodeBE32(
            b + header_ + keyAt + (records - 1) * static_cast<uint32_t>(level > 0 ? keySize : 0));
        if (keyed && key < lastKey) {
          return fail("AG %u of %s: %s block %u at level %u is out of order", ag,
                      fs_.devPath.c_str(), what, block, level);
        }
        keyed = true;
        lastKey = level > 0 ? endKey : key;
      }
      if (level > 0 && blocks == 1) {
        below = fsbmp::decodeBE32(b + header_ + nodeSlots * static_cast<uint32_t>(keySize));
      }
      const uint32_t sibling = fsbmp::decodeBE32(b + kOffTreeRightSibling);
      if (level == 0 && inodes) {
        err = scanInodeLeaf(ag, b, records);
        if (err.code < 0) return err;
      }
      block = sibling;
    }
    if (level == 0) return CVoError();
    first = below;
  }
}

CVoError FileScan::scanInodeLeaf(uint32_t ag, const unsigned char* leaf, uint32_t records) {
  const uint64_t agStart = static_cast<uint64_t>(ag) * fs_.agBlocks;
  // Every chunk is checked and its blocks marked first; those with inodes in use are kept.
  spans_.clear();
  for (uint32_t r = 0; r < records; ++r) {
    ChunkSpan span;
    CVoError err = chunkSpan(ag, leaf + header_ + r * kInobtRecordSize, &span);
    if (err.code < 0) return err;
    if (span.inUse != 0) spans_.push_back(span);
  }
  if (spans_.empty()) return CVoError();
  // They are hinted before the first is read: the kernel reads them while the inodes of the
  // first are scanned. Not when the last is cached already: on a warm cache each hint is only a
  // page-cache look-up per block.
  if (!fs_.blocksCached(fs_.blockSize, static_cast<long long>(agStart + spans_.back().first))) {
    for (const ChunkSpan& span : spans_)
      fs_.willReadBlocks(fs_.blockSize, static_cast<long long>(agStart + span.first),
                         static_cast<long long>(span.blocks));
  }
  // Chunks that follow each other on the device are read together.
  const uint64_t most = kChunkReadBytes / bs_ > 0 ? kChunkReadBytes / bs_ : 1;
  for (size_t i = 0; i < spans_.size();) {
    size_t j = i + 1;
    uint64_t blocks = spans_[i].blocks;
    while (j < spans_.size() && spans_[j].first == spans_[j - 1].first + spans_[j - 1].blocks &&
           blocks + spans_[j].blocks <= most)
      blocks += spans_[j++].blocks;
    chunk_.resize(static_cast<size_t>(blocks * bs_));
    CVoError err =
        fs_.readBlocks(chunk_.data(), fs_.blockSize,
                       static_cast<long long>(agStart + spans_[i].first), static_cast<int>(blocks));
    if (err.code < 0 && j > i + 1) {
      // The first chunk alone, so that an error names it.
      j = i + 1;
      err = fs_.readBlocks(chunk_.data(), fs_.blockSize,
                           static_cast<long long>(agStart + spans_[i].first),
                           static_cast<int>(spans_[i].blocks));
    }
    if (err.code < 0)
      return err.Push(FSBMP_AT(where_), "Couldn't read inode chunk %u of AG %u", spans_[i].start,
                      ag);
    for (size_t k = i; k < j; ++k) {
      err = scanChunk(ag, spans_[k], chunk_.data() + (spans_[k].first - spans_[i].first) * bs_);
      if (err.code < 0) return err;
    }
    i = j;
  }
  return CVoError();
}

CVoError FileScan::chunkSpan(uint32_t ag, const unsigned char* rec, ChunkSpan* span) {
  const uint32_t start = fsbmp::decodeBE32(rec + kOffIrStartIno);
  const uint16_t holes = geo_.sparse ? fsbmp::decodeBE16(rec + kOffIrHoleMask) : 0;
  const uint64_t freeMask = fsbmp::decodeBE64(rec + kOffIrFree);
  const uint64_t agStart = static_cast<uint64_t>(ag) * fs_.agBlocks;
  const uint64_t firstBlock = start >> geo_.inopbLog;
  const uint64_t lastBlock = (static_cast<uint64_t>(start) + kInodesPerChunk - 1) >> geo_.inopbLog;
  if (lastBlock >= fs_.agLengths[ag]) {
    return fail(
        "AG %u of %s: the inode tree puts inode chunk %u in block %llu, outside the "
        "AG's %u blocks",
        ag, fs_.devPath.c_str(), start, static_cast<unsigned long long>(lastBlock),
        fs_.agLengths[ag]);
  }
  // The chunk's blocks but those of its holes; the inodes in use of the rest.
  uint64_t inUse = ~freeMask;
  for (int h = 0; h < kInodesPerChunk / kInodesPerHoleBit; ++h) {
    const uint64_t first = start + static_cast<uint64_t>(h) * kInodesPerHoleBit;
    if ((holes >> h) & 1) {
      inUse &= ~(uint64_t{0xF} << (h * kInodesPerHoleBit));
      continue;
    }
    const uint64_t from = first >> geo_.inopbLog;
    const uint64_t to = (first + kInodesPerHoleBit - 1) >> geo_.inopbLog;
    use(agStart + from, to - from + 1);
  }
  *span = {start, firstBlock, lastBlock - firstBlock + 1, inUse};
  return CVoError();
}

CVoError FileScan::scanChunk(uint32_t ag, const ChunkSpan& span, const unsigned char* data) {
  const uint64_t chunkFirstIno = span.first << geo_.inopbLog;
  const uint64_t agInoBase = static_cast<uint64_t>(ag) << (fs_.agBlockLog + geo_.inopbLog);
  for (int k = 0; k < kInodesPerChunk; ++k) {
    if (!((span.inUse >> k) & 1)) continue;
    const uint64_t agino = static_cast<uint64_t>(span.start) + static_cast<uint64_t>(k);
    CVoError err = scanInode(agInoBase | agino, data + (agino - chunkFirstIno) * geo_.inodeSize);
    if (err.code < 0) return err;
  }
  return CVoError();
}

CVoError FileScan::scanInode(uint64_t ino, const unsigned char* raw) {
  ino_ = ino;
  const uint16_t magic = fsbmp::decodeBE16(raw + kOffDiMagic);
  if (magic != kInodeMagic) {
    if (replayed_) return CVoError();
    return fail("Inode %llu of %s is in use by the inode tree but carries magic 0x%04x",
                static_cast<unsigned long long>(ino), fs_.devPath.c_str(), magic);
  }
  if (fsbmp::decodeBE16(raw + kOffDiMode) == 0) return CVoError();
  ++inodesScanned_;
  const int version = raw[kOffDiVersion];
  if (version < 1 || version > 3) {
    return fail("Inode %llu of %s has version %d", static_cast<unsigned long long>(ino),
                fs_.devPath.c_str(), version);
  }
  const uint32_t core = version == 3 ? kInodeCoreV3 : kInodeCoreV2;
  const uint32_t literal = geo_.inodeSize - core;
  const uint32_t forkOff = static_cast<uint32_t>(raw[kOffDiForkOff]) * 8;
  if (forkOff >= literal) {
    return fail("Inode %llu of %s puts its attribute fork at byte %u of its %u-byte fork area",
                static_cast<unsigned long long>(ino), fs_.devPath.c_str(), forkOff, literal);
  }
  const uint64_t nblocks = fsbmp::decodeBE64(raw + kOffDiNblocks);
  const uint64_t most = geo_.dataBlocks + geo_.realtimeBlocks;
  if (nblocks > most && !replayed_) {
    return fail("Inode %llu of %s counts %llu blocks, more than the file system's %llu",
                static_cast<unsigned long long>(ino), fs_.devPath.c_str(),
                static_cast<unsigned long long>(nblocks), static_cast<unsigned long long>(most));
  }
  // An inode the log changed may count fewer blocks than the replayed trees it roots hold.
  budget_ = replayed_ ? most : nblocks;
  const bool wide = version == 3 && (fsbmp::decodeBE64(raw + kOffDiFlags2) & kDiFlag2Nrext64);
  const uint64_t extents =
      wide ? fsbmp::decodeBE64(raw + kOffDiBigNextents) : fsbmp::decodeBE32(raw + kOffDiNextents);
  const uint64_t attrExtents =
      wide ? fsbmp::decodeBE32(raw + kOffDiNextents) : fsbmp::decodeBE16(raw + kOffDiAnextents);
  const bool realtime = (fsbmp::decodeBE16(raw + kOffDiFlags) & kDiFlagRealtime) != 0;
  CVoError err = walkFork(raw + core, forkOff ? forkOff : literal, raw[kOffDiFormat], extents,
                          realtime, "data fork");
  if (err.code >= 0 && forkOff)
    err = walkFork(raw + core + forkOff, literal - forkOff, raw[kOffDiAformat], attrExtents, false,
                   "attribute fork");
  return err;
}

CVoError FileScan::walkFork(const unsigned char* fork, uint32_t bytes, int format, uint64_t extents,
                            bool realtime, const char* which) {
  const unsigned long long ino = static_cast<unsigned long long>(ino_);
  switch (format) {
    case kFormatDev:
    case kFormatLocal:
    case kFormatUuid:
      return CVoError();
    case kFormatExtents:
      if (extents > bytes / kExtentSize) {
        return fail("Inode %llu of %s counts %llu extents in its %s, which holds %u", ino,
                    fs_.devPath.c_str(), static_cast<unsigned long long>(extents), which,
                    bytes / kExtentSize);
      }
      return walkExtents(fork, extents, realtime);
    case kFormatBtree:
      break;
    default:
      return fail("Inode %llu of %s has a %s of unknown format %d", ino, fs_.devPath.c_str(), which,
                  format);
  }
  const uint32_t slots =
      bytes > kBmdrHeader
          ? (bytes - kBmdrHeader) / static_cast<uint32_t>(kBmbtKeySize + kBmbtPointerSize)
          : 0;
  const unsigned level = fsbmp::decodeBE16(fork + kOffBmdrLevel);
  const uint32_t records = fsbmp::decodeBE16(fork + kOffBmdrRecords);
  if (level == 0 || level >= kMaxLevels) {
    return fail("Inode %llu of %s roots a B-tree of %u levels in its %s, outside 1 to %u", ino,
                fs_.devPath.c_str(), level, which, kMaxLevels - 1);
  }
  if (records == 0 || records > slots) {
    return fail("Inode %llu of %s roots a B-tree of %u records in its %s, which holds %u", ino,
                fs_.devPath.c_str(), records, which, slots);
  }
  const unsigned char* pointers = fork + kBmdrHeader + slots * kBmbtKeySize;
  for (uint32_t k = 0; k < records; ++k) {
    CVoError err =
        walkMapBlock(fsbmp::decodeBE64(pointers + k * kBmbtPointerSize), level - 1, realtime);
    if (err.code < 0) return err;
  }
  return CVoError();
}

CVoError FileScan::walkExtents(const unsigned char* recs, uint64_t count, bool realtime) {
  for (uint64_t k = 0; k < count; ++k) {
    const unsigned char* e = recs + k * kExtentSize;
    const uint64_t high = fsbmp::decodeBE64(e);
    const uint64_t low = fsbmp::decodeBE64(e + 8);
    // Unwritten extents (the top bit) are allocated all the same.
    const uint64_t start = (high & ((uint64_t{1} << kExtentStartHighBits) - 1))
                               << (64 - kExtentCountBits) |
                           low >> kExtentCountBits;
    const uint64_t length = low & ((uint64_t{1} << kExtentCountBits) - 1);
    if (length == 0) {
      return fail("Inode %llu of %s has an extent of no blocks at block 0x%llx",
                  static_cast<unsigned long long>(ino_), fs_.devPath.c_str(),
                  static_cast<unsigned long long>(start));
    }
    CVoError err = charge(length);
    if (err.code < 0) return err;
    if (realtime) continue;  // on the realtime device
    uint64_t block = 0;
    err = toDevice(start, length, "extent", &block);
    if (err.code < 0) return err;
    use(block, length);
  }
  return CVoError();
}

CVoError FileScan::walkMapBlock(uint64_t fsb, unsigned level, bool realtime) {
  uint64_t block = 0;
  CVoError err = toDevice(fsb, 1, "B-tree block", &block);
  if (err.code >= 0) err = charge(1);
  if (err.code < 0) return err;
  use(block, 1);
  // Levels go down by one from the root: no block is read twice on one path, and there is a
  // buffer per level.
  unsigned char* b = levels_[level].data();
  err = fs_.readBlocks(b, fs_.blockSize, static_cast<long long>(block), 1);
  if (err.code < 0)
    return err.Push(FSBMP_AT(where_), "Couldn't read B-tree block %llu of inode %llu",
                    static_cast<unsigned long long>(block), static_cast<unsigned long long>(ino_));
  const uint32_t header = fs_.hasCRC ? kLongHeaderCRC : kLongHeader;
  const uint32_t magic = fsbmp::decodeBE32(b + kOffTreeMagic);
  const unsigned got = fsbmp::decodeBE16(b + kOffLongLevel);
  const uint32_t records = fsbmp::decodeBE16(b + kOffLongRecords);
  const uint32_t slots = (bs_ - header) / kExtentSize;
  const bool owned = !fs_.hasCRC || fsbmp::decodeBE64(b + kOffLongOwner) == ino_;
  if (magic != (fs_.hasCRC ? kBmapMagicCRC : kBmapMagic) || got != level || records > slots ||
      (level > 0 && records == 0) || !owned) {
    return fail(
        "Inode %llu of %s: B-tree block %llu is damaged or not its own: magic 0x%08x, "
        "level %u (%u expected), %u records",
        static_cast<unsigned long long>(ino_), fs_.devPath.c_str(),
        static_cast<unsigned long long>(block), magic, got, level, records);
  }
  if (level == 0) return walkExtents(b + header, records, realtime);
  const unsigned char* pointers = b + header + slots * kBmbtKeySize;
  for (uint32_t k = 0; k < records; ++k) {
    err = walkMapBlock(fsbmp::decodeBE64(pointers + k * kBmbtPointerSize), level - 1, realtime);
    if (err.code < 0) return err;
  }
  return CVoError();
}

CVoError FileScan::toDevice(uint64_t fsb, uint64_t count, const char* what, uint64_t* block) {
  const uint64_t ag = fsb >> fs_.agBlockLog;
  const uint64_t inAg = fsb & ((uint64_t{1} << fs_.agBlockLog) - 1);
  if (ag < fs_.agCount && inAg < fs_.agLengths[ag] && count <= fs_.agLengths[ag] - inAg) {
    *block = ag * fs_.agBlocks + inAg;
    return CVoError();
  }
  return fail("Inode %llu of %s names %s 0x%llx (%llu blocks), outside the file system's AGs",
              static_cast<unsigned long long>(ino_), fs_.devPath.c_str(), what,
              static_cast<unsigned long long>(fsb), static_cast<unsigned long long>(count));
}

CVoError FileScan::charge(uint64_t count) {
  if (count <= budget_) {
    budget_ -= count;
    return CVoError();
  }
  return fail("Inode %llu of %s names more blocks than its block count allows",
              static_cast<unsigned long long>(ino_), fs_.devPath.c_str());
}

void FileScan::use(uint64_t first, uint64_t count) {
  if (count == 0) return;
  const uint64_t firstChunk = first >> chunkShift_;
  if (firstChunk < nChunks_)
    fsbmp::setChunkRange(bitmap_, firstChunk,
                         std::min(nChunks_, ((first + count - 1) >> chunkShift_) + 1));
  if (!record_) return;
  // The free extents that overlap the run: the last that starts at or before it, and on.
  const auto& free = record_->freeExtents;
  const uint64_t end = first + count;
  const size_t after = freeAfter(first);
  auto it = free.begin() + static_cast<std::ptrdiff_t>(after > 0 ? after - 1 : 0);
  for (; it != free.end() && it->first < end; ++it) {
    const uint64_t from = std::max(first, it->first);
    const uint64_t to = std::min(end, it->first + it->second);
    if (from < to) noteFree(from, to - from);
  }
}

size_t FileScan::freeAfter(uint64_t block) {
  // Galloping from the last answer, then a binary search in the bracket found: the answer lies
  // in [lo, hi].
  const auto& free = record_->freeExtents;
  const size_t n = free.size();
  const size_t h = finger_ < n ? finger_ : n;
  size_t lo = 0, hi = n, step = 1;
  if (h < n && free[h].first <= block) {
    lo = h + 1;
    while (h + step < n && free[h + step].first <= block) {
      lo = h + step + 1;
      step *= 2;
    }
    hi = h + step < n ? h + step : n;
  } else {
    hi = h;
    while (step <= h && free[h - step].first > block) {
      hi = h - step;
      step *= 2;
    }
    lo = step <= h ? h - step + 1 : 0;
  }
  const auto at = std::upper_bound(
      free.begin() + static_cast<std::ptrdiff_t>(lo),
      free.begin() + static_cast<std::ptrdiff_t>(hi), block,
      [](uint64_t b, const std::pair<uint64_t, uint64_t>& e) { return b < e.first; });
  finger_ = static_cast<size_t>(at - free.begin());
  return finger_;
}

void FileScan::noteFree(uint64_t first, uint64_t count) {
  // Only what no earlier file named: the parts of the run outside reported_.
  const uint64_t end = first + count;
  uint64_t at = first;
  auto it = reported_.upper_bound(first);
  if (it != reported_.begin()) --it;
  std::vector<std::pair<uint64_t, uint64_t>> fresh;
  for (; it != reported_.end() && it->first < end; ++it) {
    if (it->second <= at) continue;
    if (it->first > at) fresh.emplace_back(at, it->first - at);
    at = std::max(at, it->second);
  }
  if (at < end) fresh.emplace_back(at, end - at);
  uint64_t& mergedEnd = reported_[first];
  mergedEnd = std::max(mergedEnd, end);

  for (const auto& run : fresh) freeRuns_.add(ino_, run.first, run.second);
}

}  // namespace

CVoError FsParserXFS::setVerify(bool on) {
  if (!impl_->verify) impl_->verify.reset(new VerifyState());
  impl_->verify->on = on;
  return CVoError();
}

FsParser::VerifyReport FsParserXFS::verifyReport() const {
  return impl_->verify ? impl_->verify->report : VerifyReport();
}

CVoError FsParserXFS::Impl::inodeShape(const JxCodeLocation& where, fsbmp::XfsInodeShape* shape,
                                       unsigned char* superblock) {
  unsigned char own[kSuperRead];
  unsigned char* sb = superblock ? superblock : own;
  CVoError err = fs.readBlocks(sb, kSuperRead, 0, 1);
  if (err.code < 0)
    return err.Push(FSBMP_AT(where), "Couldn't read superblock from %s", fs.devPath.c_str());
  shape->inodeSize = fsbmp::decodeBE16(sb + kOffSbInodeSize);
  shape->inopbLog = sb[kOffSbInopbLog];
  shape->agBlockLog = fs.agBlockLog;
  shape->agBlocks = fs.agBlocks;
  shape->agCount = fs.agCount;
  shape->blockSize = fs.blockSize;
  shape->v3 = fs.hasCRC;
  const bool metaUuid =
      fs.hasCRC && (fsbmp::decodeBE32(sb + kOffSbIncompat) & kIncompatMetaUuid) != 0;
  memcpy(shape->metaUuid, sb + (metaUuid ? kOffSbMetaUuid : kOffSbUuid), sizeof shape->metaUuid);
  // Inodes are a power of two from 256 bytes, several to the block; AG-relative inode numbers
  // and AG-encoded block numbers fit 32 and 64 bits.
  const uint32_t core = fs.hasCRC ? kInodeCoreV3 : kInodeCoreV2;
  if (shape->inodeSize <= core || shape->inodeSize > static_cast<uint32_t>(fs.blockSize) ||
      FsParser::log2(shape->inodeSize) <= 0 || shape->inopbLog >= 32 ||
      (static_cast<uint32_t>(fs.blockSize) >> shape->inopbLog) != shape->inodeSize ||
      fs.agBlockLog <= 0 || fs.agBlockLog + shape->inopbLog > 32 ||
      (uint64_t{1} << fs.agBlockLog) < fs.agBlocks) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "XFS SB of %s is corrupt: inodes of %u bytes, %d to the "
                                   "block (log), AGs of %u blocks (log %d)",
                                   fs.devPath.c_str(), shape->inodeSize, shape->inopbLog,
                                   fs.agBlocks, fs.agBlockLog);
  }
  return CVoError();
}

CVoError FsParserXFS::Impl::verifyFiles(const JxCodeLocation& where, const ChunkLayout& layout,
                                        unsigned char* bitmap) {
  static const char kTag[] = "FsParserXFS::verify";
  unsigned char sb[kSuperRead];
  fsbmp::XfsInodeShape shape;
  CVoError err = inodeShape(where, &shape, sb);
  if (err.code < 0) return err;
  InodeGeometry geo;
  geo.inodeSize = shape.inodeSize;
  geo.inopbLog = shape.inopbLog;
  geo.dataBlocks = fsbmp::decodeBE64(sb + kOffSbDataBlocks);
  geo.realtimeBlocks = fsbmp::decodeBE64(sb + kOffSbRealtimeBlocks);
  if (fs.hasCRC) {
    const uint32_t roCompat = fsbmp::decodeBE32(sb + kOffSbRoCompat);
    geo.finobt = (roCompat & kRoCompatFinobt) != 0;
    geo.rmapbt = (roCompat & kRoCompatRmapbt) != 0;
    geo.reflink = (roCompat & kRoCompatReflink) != 0;
    geo.sparse = (fsbmp::decodeBE32(sb + kOffSbIncompat) & kIncompatSparseInodes) != 0;
  }

  VerifyState& state = *verify;
  const bool record = !state.recorded;
  state.recorded = true;
  FileScan scan(fs, where, geo, sectorBytes, replayed && fs.view == replayed, bitmap,
                layout.chunkShift, static_cast<uint64_t>(layout.nChunks),
                record ? &state : nullptr);
  err = scan.run();
  state.freeExtents.clear();
  state.freeExtents.shrink_to_fit();
  if (err.code < 0)
    return err.Push(FSBMP_AT(where), "Couldn't verify the free-space trees of %s by its files",
                    fs.devPath.c_str());
  if (!record) return CVoError();
  fsbmp::logVerifyReport(fs.debug, kTag, fs.devPath, state.report, "the free-space trees");
  return CVoError();
}
