// ext2, ext3 and ext4: the scan of every file that setVerify asks for. Every inode in use is read
// from the inode tables, and every block it names (its block map or extent tree with their
// indirect and index blocks, its extended-attribute block) is marked used in addition to what the
// block bitmaps say; the blocks that the bitmaps call free are counted and reported.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "core/coding.h"
#include "core/location.h"
#include "core/verify_report.h"
#include "ext2/fsbmpExt2Impl.h"
#include "ext2/fsbmpExt2InodeFormat.h"
#include "ext2/fsbmpExt2Layout.h"
#include "ext2/fsbmpExt2Tuning.h"
#include "fsbmp/fsbmpExt2.h"

using namespace fsbmp::ext2;

namespace {

// Inode table bytes read in one request at most.
const uint32_t kTableReadBytes = 256 * 1024;
// Groups, and bytes of their tables, hinted ahead of the one being read.
const uint32_t kAheadGroups = 512;
const uint64_t kAheadBytes = 16ull << 20;
// Runs of the files' blocks held for the comparison with the group bitmaps (16 bytes each, held
// and again sorted by group). Past this the held ones are compared at once, reading the bitmaps,
// and the scan goes on.
const size_t kHeldRuns = size_t{1} << 19;

// Blocks [offset, offset + count) of a group, used by inode `inode`: what is compared with the
// group's block bitmap.
struct HeldRun {
  uint32_t group;
  uint32_t offset;
  uint32_t count;
  uint32_t inode;
};

// What the scan needs of the superblock beyond the walk's geometry.
struct InodeGeometry {
  uint32_t inodeSize;
  bool hugeFile;  // i_blocks has 48 bits and may count file-system blocks
  bool wideAcl;   // 64bit: the extended-attribute block has 48 bits
};

class FileScan {
 public:
  FileScan(FsParserExt2* fs, const JxCodeLocation& where,
           const std::vector<ext4_group_desc_64>& gdt, const InodeGeometry& geo,
           std::function<bool(uint32_t, unsigned char*)> uninitMap,
           std::function<CVoError(uint32_t, std::vector<unsigned char>*, uint32_t*)> readBitmaps,
           std::function<void(uint64_t, uint64_t)> mark, FsParser::VerifyReport* report)
      : fs_(fs),
        where_(where),
        gdt_(gdt),
        geo_(geo),
        uninitMap_(std::move(uninitMap)),
        readBitmaps_(std::move(readBitmaps)),
        mark_(std::move(mark)),
        report_(report),
        total_(static_cast<uint64_t>(fs->blockCount)),
        bs_(static_cast<uint32_t>(fs->blockSize)),
        csums_(fs->gdtCsum || fs->metadataCsum) {}

  // Reads every inode in use and marks what it names; with a report, holds the runs for the
  // comparison below.
  CVoError run();
  uint64_t inodesScanned() const { return inodesScanned_; }
  // Sorts the held runs by group, for compare and compareRest.
  void sortHeld();
  // Compares the held runs of group g with its block bitmap `data`, as the walk reads it: the
  // bitmaps are read once, by the walk, not again for the report.
  void compare(uint32_t g, const unsigned char* data);
  // Compares the runs of every group that compare has not seen: the groups whose bitmap the walk
  // does not read (BLOCK_UNINIT), or all of them when the held runs overflow.
  CVoError compareRest();

 private:
  // The inodes of group g's table that the scan reads: all of them, or, where the descriptors
  // carry checksums, none under INODE_UNINIT and not the last bg_itable_unused. False when the
  // descriptor counts more unused inodes than the table holds.
  bool tableInodes(uint32_t g, uint32_t* count) const;
  uint64_t tableBlocks(uint32_t count) const;  // the table blocks that hold `count` inodes
  // Hints the tables (and inode bitmaps) of the groups ahead of g to the kernel: up to
  // kAheadGroups groups and kAheadBytes bytes, again once half of them are read.
  void hintAhead(uint32_t g);
  CVoError scanGroup(uint32_t g, std::vector<unsigned char>* table);
  CVoError scanInode(uint32_t g, uint32_t index, const unsigned char* raw);
  CVoError inodeInBitmap(uint32_t g, uint32_t index, bool* set);
  CVoError walkBlockMap(const unsigned char* slots);
  CVoError walkIndirect(uint64_t block, int level, int depth);
  CVoError walkExtents(const unsigned char* node, uint32_t depth, int pathLen);
  CVoError checkExtentHeader(const unsigned char* node, uint32_t capacity, uint32_t* entries,
                             uint32_t* depth, uint64_t at);
  // A tree block (indirect or index): in range, not one of its own ancestors, within the budget;
  // marked used and read into the level's buffer.
  CVoError readTreeBlock(uint64_t block, int depth, const char* what);
  CVoError checkRange(uint64_t first, uint64_t count, const char* what);
  CVoError charge(uint64_t count);
  CVoError addData(uint64_t block);  // one block of a block map, merged into runs
  CVoError flushData();
  CVoError use(uint64_t first, uint64_t count);

  FsParserExt2* fs_;
  const JxCodeLocation& where_;
  const std::vector<ext4_group_desc_64>& gdt_;
  const InodeGeometry geo_;
  // Fills in what the walk marks of a group whose bitmap it does not read (BLOCK_UNINIT), and says
  // whether the group is one.
  const std::function<bool(uint32_t, unsigned char*)> uninitMap_;
  // Reads and checks group g's block bitmap, and those of the groups after it that follow in the
  // next blocks, as the walk does, into the buffer; *count receives how many.
  const std::function<CVoError(uint32_t, std::vector<unsigned char>*, uint32_t*)> readBitmaps_;
  const std::function<void(uint64_t, uint64_t)> mark_;
  FsParser::VerifyReport* report_;  // null: mark only
  const uint64_t total_;
  const uint32_t bs_;
  const bool csums_;  // descriptors carry checksums: INODE_UNINIT and itable_unused are believed

  uint64_t inodesScanned_ = 0;
  uint32_t hinted_ = 0;  // the first group whose table is not hinted yet
  uint32_t refill_ = 0;  // the group at which the next hints go out
  // The inode being read.
  uint64_t ino_ = 0;
  uint64_t budget_ = 0;  // blocks it may still name: its i_blocks
  uint64_t runFirst_ = 0, runCount_ = 0;
  uint64_t path_[kMaxExtentDepth + 1] = {};  // tree blocks from the root down
  std::vector<unsigned char> levels_[kMaxExtentDepth + 1];
  // The group whose inode bitmap is in inodeBitmap_, or UINT32_MAX.
  uint32_t inodeBitmapGroup_ = UINT32_MAX;
  std::vector<unsigned char> inodeBitmap_;
  // The runs held for the report, in the order found, then sorted by group: group g's are
  // sorted_[byGroup_[g]] to sorted_[byGroup_[g + 1]]; compared_[g] once compared.
  std::vector<HeldRun> held_, sorted_;
  std::vector<uint32_t> byGroup_;
  std::vector<unsigned char> compared_;
  std::vector<unsigned char> own_;    // a bitmap the comparison writes to
  std::vector<unsigned char> batch_;  // bitmaps compareRest reads
  fsbmp::FreeRuns freeRuns_{report_};
};

CVoError FileScan::run() {
  for (auto& level : levels_) level.resize(bs_);
  std::vector<unsigned char> table;
  for (uint32_t g = 0; g < fs_->groupDescCount; ++g) {
    hintAhead(g);
    CVoError err = scanGroup(g, &table);
    if (err.code < 0) return err;
  }
  if (report_) report_->inodesScanned = inodesScanned_;
  return CVoError();
}

bool FileScan::tableInodes(uint32_t g, uint32_t* count) const {
  const ext4_group_desc_64& d = gdt_[g];
  *count = fs_->inodesPerGroup;
  if (!csums_) return true;
  const uint32_t unused =
      static_cast<uint32_t>(d.bg_itable_unused_hi) << 16 | d.bg_itable_unused_lo;
  if (unused > *count) return false;
  *count = (d.bg_flags & kBgInodeUninit) ? 0 : *count - unused;
  return true;
}

uint64_t FileScan::tableBlocks(uint32_t count) const {
  return (static_cast<uint64_t>(count) * geo_.inodeSize + bs_ - 1) / bs_;
}

void FileScan::hintAhead(uint32_t g) {
  if (g < refill_) return;
  uint32_t h = hinted_ > g ? hinted_ : g;
  const uint32_t end =
      fs_->groupDescCount - h > kAheadGroups ? h + kAheadGroups : fs_->groupDescCount;
  uint64_t bytes = 0;
  bool first = true;
  refill_ = UINT32_MAX;
  for (; h < end && bytes < kAheadBytes; ++h) {
    uint32_t count = 0;
    if (!tableInodes(h, &count) || count == 0) continue;
    const uint64_t table = gdt_[h].inodeTable();
    const uint64_t blocks = tableBlocks(count);
    if (table == 0 || table >= total_ || blocks > total_ - table) continue;  // scanGroup refuses it
    // A warm cache needs no hints, and hinting costs a page-cache look-up per block: when the
    // first table of the window is cached already, the window is taken as cached.
    if (first && fs_->blocksCached(fs_->blockSize, static_cast<long long>(table))) {
      h = end;
      break;
    }
    first = false;
    fs_->willReadBlocks(fs_->blockSize, static_cast<long long>(table),
                        static_cast<long long>(blocks));
    // Deleted inodes send the scan to the group's inode bitmap.
    fs_->willReadBlocks(fs_->blockSize, static_cast<long long>(gdt_[h].inodeBitmap() & INT64_MAX),
                        1);
    bytes += blocks * bs_;
    if (refill_ == UINT32_MAX && bytes >= kAheadBytes / 2) refill_ = h;
  }
  if (refill_ == UINT32_MAX) refill_ = g + std::max<uint32_t>((h - g) / 2, 1);
  hinted_ = h;
}

CVoError FileScan::scanGroup(uint32_t g, std::vector<unsigned char>* table) {
  const ext4_group_desc_64& d = gdt_[g];
  uint32_t count = 0;
  if (!tableInodes(g, &count)) {
    return JxErrorUtil::ErrorErrNo(
        FSBMP_AT(where_), ENOSYS,
        "Block group %u of %s counts %u unused inodes of the %u its inode table holds", g,
        fs_->devPath.c_str(),
        static_cast<uint32_t>(d.bg_itable_unused_hi) << 16 | d.bg_itable_unused_lo,
        fs_->inodesPerGroup);
  }
  if (count == 0) return CVoError();
  const uint64_t first = d.inodeTable();
  const uint64_t blocks = tableBlocks(count);
  if (first == 0 || first >= total_ || blocks > total_ - first) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where_), ENOSYS,
                                   "Inode table of block group %u of %s lies at block %llu, "
                                   "outside the file system's %llu blocks",
                                   g, fs_->devPath.c_str(), static_cast<unsigned long long>(first),
                                   static_cast<unsigned long long>(total_));
  }
  const uint32_t perRead = kTableReadBytes / bs_ > 0 ? kTableReadBytes / bs_ : 1;
  table->resize(static_cast<size_t>(perRead) * bs_);
  const uint32_t perBlock = bs_ / geo_.inodeSize;
  for (uint64_t at = 0; at < blocks; at += perRead) {
    const uint32_t n = blocks - at < perRead ? static_cast<uint32_t>(blocks - at) : perRead;
    CVoError err = fs_->readBlocks(table->data(), fs_->blockSize,
                                   static_cast<long long>(first + at), static_cast<int>(n));
    if (err.code < 0)
      return err.Push(FSBMP_AT(where_), "Couldn't read the inode table of block group %u", g);
    const uint64_t firstIndex = at * perBlock;
    for (uint64_t k = 0; k < static_cast<uint64_t>(n) * perBlock && firstIndex + k < count; ++k) {
      err = scanInode(g, static_cast<uint32_t>(firstIndex + k), table->data() + k * geo_.inodeSize);
      if (err.code < 0) return err;
    }
  }
  return CVoError();
}

CVoError FileScan::inodeInBitmap(uint32_t g, uint32_t index, bool* set) {
  if (inodeBitmapGroup_ != g) {
    const uint64_t at = gdt_[g].inodeBitmap();
    if (at == 0 || at >= total_) {
      return JxErrorUtil::ErrorErrNo(FSBMP_AT(where_), ENOSYS,
                                     "Inode bitmap of block group %u of %s is at block %llu, "
                                     "outside the file system's %llu blocks",
                                     g, fs_->devPath.c_str(), static_cast<unsigned long long>(at),
                                     static_cast<unsigned long long>(total_));
    }
    inodeBitmap_.resize(bs_);
    CVoError err =
        fs_->readBlocks(inodeBitmap_.data(), fs_->blockSize, static_cast<long long>(at), 1);
    if (err.code < 0)
      return err.Push(FSBMP_AT(where_), "Couldn't read the inode bitmap of block group %u", g);
    inodeBitmapGroup_ = g;
  }
  *set = (inodeBitmap_[index >> 3] >> (index & 7)) & 1;
  return CVoError();
}

CVoError FileScan::scanInode(uint32_t g, uint32_t index, const unsigned char* raw) {
  // In use: linked from a directory, or allocated in the inode bitmap (reserved inodes, files
  // open but unlinked). A deleted inode keeps its deletion time and its old contents, links 0.
  if (fsbmp::decodeLE16(raw + kInoLinksCount) == 0) {
    bool set = false;
    CVoError err = inodeInBitmap(g, index, &set);
    if (err.code < 0 || !set) return err;
  }
  ++inodesScanned_;
  ino_ = static_cast<uint64_t>(g) * fs_->inodesPerGroup + index + 1;

  uint64_t acl = fsbmp::decodeLE32(raw + kInoFileAclLo);
  if (geo_.wideAcl) acl |= static_cast<uint64_t>(fsbmp::decodeLE16(raw + kInoFileAclHigh)) << 32;
  if (acl != 0) {
    CVoError err = checkRange(acl, 1, "extended-attribute block");
    if (err.code >= 0) err = use(acl, 1);
    if (err.code < 0) return err;
  }

  const uint16_t type = fsbmp::decodeLE16(raw + kInoMode) & kModeTypeMask;
  if (type == kModeFifo || type == kModeChar || type == kModeBlock || type == kModeSocket)
    return CVoError();
  const uint32_t flags = fsbmp::decodeLE32(raw + kInoFlags);
  if (flags & kFlagInlineData) return CVoError();
  if (type == kModeLink) {
    // A fast symlink keeps its target in i_block, as e2fsprogs decides: a size below i_block's.
    const uint64_t size = static_cast<uint64_t>(fsbmp::decodeLE32(raw + kInoSizeHigh)) << 32 |
                          fsbmp::decodeLE32(raw + kInoSizeLo);
    if (size != 0 && size < static_cast<uint64_t>(kInoBlockBytes)) return CVoError();
  }

  // The file names no more blocks than its block count says it has.
  uint64_t iBlocks = fsbmp::decodeLE32(raw + kInoBlocksLo);
  if (geo_.hugeFile)
    iBlocks |= static_cast<uint64_t>(fsbmp::decodeLE16(raw + kInoBlocksHigh)) << 32;
  budget_ = geo_.hugeFile && (flags & kFlagHugeFile) ? iBlocks : (iBlocks * 512 + bs_ - 1) / bs_;
  runCount_ = 0;

  CVoError err;
  if (ino_ == kResizeIno && !(flags & kFlagExtents)) {
    const uint32_t dind = fsbmp::decodeLE32(raw + kInoBlock + 4 * kDoubleIndirectSlot);
    if (dind != 0) err = checkRange(dind, 1, "double indirect block");
    if (dind != 0 && err.code >= 0) err = use(dind, 1);
    return err;
  }
  if (flags & kFlagExtents) {
    uint32_t entries = 0, depth = 0;
    err = checkExtentHeader(raw + kInoBlock,
                            (kInoBlockBytes - kExtentHeaderBytes) / kExtentEntryBytes, &entries,
                            &depth, 0);
    if (err.code >= 0 && depth > kMaxExtentDepth) {
      err = JxErrorUtil::ErrorErrNo(
          FSBMP_AT(where_), ENOSYS, "Inode %llu of %s has an extent tree of depth %u, above %u",
          static_cast<unsigned long long>(ino_), fs_->devPath.c_str(), depth, kMaxExtentDepth);
    }
    if (err.code >= 0) err = walkExtents(raw + kInoBlock, depth, 0);
  } else {
    err = walkBlockMap(raw + kInoBlock);
  }
  if (err.code >= 0) err = flushData();
  return err;
}

CVoError FileScan::checkRange(uint64_t first, uint64_t count, const char* what) {
  if (first < total_ && count <= total_ - first) return CVoError();
  return JxErrorUtil::ErrorErrNo(FSBMP_AT(where_), ENOSYS,
                                 "Inode %llu of %s names %s %llu (%llu blocks), past the file "
                                 "system's end at block %llu",
                                 static_cast<unsigned long long>(ino_), fs_->devPath.c_str(), what,
                                 static_cast<unsigned long long>(first),
                                 static_cast<unsigned long long>(count),
                                 static_cast<unsigned long long>(total_));
}

CVoError FileScan::charge(uint64_t count) {
  if (count <= budget_) {
    budget_ -= count;
    return CVoError();
  }
  return JxErrorUtil::ErrorErrNo(FSBMP_AT(where_), ENOSYS,
                                 "Inode %llu of %s names more blocks than its block count allows",
                                 static_cast<unsigned long long>(ino_), fs_->devPath.c_str());
}

CVoError FileScan::readTreeBlock(uint64_t block, int depth, const char* what) {
  CVoError err = checkRange(block, 1, what);
  if (err.code < 0) return err;
  for (int k = 0; k < depth; ++k) {
    if (path_[k] == block) {
      return JxErrorUtil::ErrorErrNo(FSBMP_AT(where_), ENOSYS,
                                     "Inode %llu of %s: %s %llu points back at itself or at a "
                                     "block above it in the file's tree",
                                     static_cast<unsigned long long>(ino_), fs_->devPath.c_str(),
                                     what, static_cast<unsigned long long>(block));
    }
  }
  err = charge(1);
  if (err.code >= 0) err = use(block, 1);
  if (err.code < 0) return err;
  path_[depth] = block;
  err = fs_->readBlocks(levels_[depth].data(), fs_->blockSize, static_cast<long long>(block), 1);
  if (err.code < 0)
    return err.Push(FSBMP_AT(where_), "Couldn't read %s %llu of inode %llu", what,
                    static_cast<unsigned long long>(block), static_cast<unsigned long long>(ino_));
  return CVoError();
}

CVoError FileScan::addData(uint64_t block) {
  if (runCount_ > 0 && block == runFirst_ + runCount_) {
    ++runCount_;
    return CVoError();
  }
  CVoError err = flushData();
  runFirst_ = block;
  runCount_ = 1;
  return err;
}

CVoError FileScan::flushData() {
  if (runCount_ == 0) return CVoError();
  const uint64_t first = runFirst_, count = runCount_;
  runCount_ = 0;
  CVoError err = checkRange(first, count, "data block");
  if (err.code >= 0) err = charge(count);
  if (err.code >= 0) err = use(first, count);
  return err;
}

CVoError FileScan::walkBlockMap(const unsigned char* slots) {
  for (int i = 0; i < kDirectSlots; ++i) {
    const uint32_t p = fsbmp::decodeLE32(slots + 4 * i);
    if (p == 0) continue;
    CVoError err = addData(p);
    if (err.code < 0) return err;
  }
  for (int level = 1; level <= kMaxIndirectLevels; ++level) {
    const uint32_t p = fsbmp::decodeLE32(slots + 4 * (kIndirectSlot + level - 1));
    if (p == 0) continue;
    CVoError err = walkIndirect(p, level, 0);
    if (err.code < 0) return err;
  }
  return CVoError();
}

CVoError FileScan::walkIndirect(uint64_t block, int level, int depth) {
  CVoError err = readTreeBlock(block, depth, "indirect block");
  if (err.code < 0) return err;
  const unsigned char* data = levels_[depth].data();
  for (uint32_t k = 0; k < bs_ / 4; ++k) {
    const uint32_t p = fsbmp::decodeLE32(data + 4 * k);
    if (p == 0) continue;
    if (level > 1) {
      err = walkIndirect(p, level - 1, depth + 1);
    } else {
      for (int a = 0; a <= depth && err.code >= 0; ++a) {
        if (path_[a] == p) {
          err = JxErrorUtil::ErrorErrNo(FSBMP_AT(where_), ENOSYS,
                                        "Inode %llu of %s: indirect block %llu names itself or a "
                                        "block above it in the file's tree as data",
                                        static_cast<unsigned long long>(ino_), fs_->devPath.c_str(),
                                        static_cast<unsigned long long>(block));
        }
      }
      if (err.code >= 0) err = addData(p);
    }
    if (err.code < 0) return err;
  }
  return CVoError();
}

CVoError FileScan::checkExtentHeader(const unsigned char* node, uint32_t capacity,
                                     uint32_t* entries, uint32_t* depth, uint64_t at) {
  const uint16_t magic = fsbmp::decodeLE16(node + kEhMagic);
  *entries = fsbmp::decodeLE16(node + kEhEntries);
  const uint32_t most = fsbmp::decodeLE16(node + kEhMax);
  *depth = fsbmp::decodeLE16(node + kEhDepth);
  if (magic == kExtentMagic && *entries <= most && most <= capacity) return CVoError();
  return JxErrorUtil::ErrorErrNo(FSBMP_AT(where_), ENOSYS,
                                 "Inode %llu of %s has a damaged extent tree node at block %llu "
                                 "(0 for the root in the inode): magic 0x%04x, %u of %u entries, "
                                 "room for %u",
                                 static_cast<unsigned long long>(ino_), fs_->devPath.c_str(),
                                 static_cast<unsigned long long>(at), magic, *entries, most,
                                 capacity);
}

CVoError FileScan::walkExtents(const unsigned char* node, uint32_t depth, int pathLen) {
  const uint32_t entries = fsbmp::decodeLE16(node + kEhEntries);
  const unsigned char* e = node + kExtentHeaderBytes;
  for (uint32_t k = 0; k < entries; ++k, e += kExtentEntryBytes) {
    CVoError err;
    if (depth == 0) {
      const ExtentLeaf x = decodeExtentLeaf(e);
      const uint64_t start = x.physical;
      const uint32_t len = x.length;
      if (len == 0) continue;
      err = flushData();
      if (err.code >= 0) err = checkRange(start, len, "extent at block");
      if (err.code >= 0) err = charge(len);
      if (err.code >= 0) err = use(start, len);
    } else {
      const uint64_t child = decodeExtentChild(e);
      err = readTreeBlock(child, pathLen, "extent tree block");
      uint32_t childEntries = 0, childDepth = 0;
      const unsigned char* data = levels_[pathLen].data();
      if (err.code >= 0)
        err = checkExtentHeader(data, (bs_ - kExtentHeaderBytes) / kExtentEntryBytes, &childEntries,
                                &childDepth, child);
      if (err.code >= 0 && childDepth != depth - 1) {
        err =
            JxErrorUtil::ErrorErrNo(FSBMP_AT(where_), ENOSYS,
                                    "Inode %llu of %s: extent tree block %llu says depth %u "
                                    "where its parent makes it %u",
                                    static_cast<unsigned long long>(ino_), fs_->devPath.c_str(),
                                    static_cast<unsigned long long>(child), childDepth, depth - 1);
      }
      if (err.code >= 0) err = walkExtents(data, depth - 1, pathLen + 1);
    }
    if (err.code < 0) return err;
  }
  return CVoError();
}

CVoError FileScan::use(uint64_t first, uint64_t count) {
  mark_(first, count);
  if (!report_) return CVoError();
  // Held per group for the comparison with the group bitmaps; blocks before the first group (the
  // boot block) are always used.
  const uint64_t end = first + count;
  uint64_t b = first > fs_->firstDataBlock ? first : fs_->firstDataBlock;
  while (b < end) {
    const uint64_t rel = b - fs_->firstDataBlock;
    const uint64_t g = rel / fs_->blocksPerGroup;
    if (g >= fs_->groupDescCount) break;  // past the last group: checkRange refused it
    const uint64_t offset = rel - g * fs_->blocksPerGroup;
    const uint64_t n =
        end - b < fs_->blocksPerGroup - offset ? end - b : fs_->blocksPerGroup - offset;
    held_.push_back({static_cast<uint32_t>(g), static_cast<uint32_t>(offset),
                     static_cast<uint32_t>(n), static_cast<uint32_t>(ino_)});
    b += n;
  }
  const uint32_t most = fsbmp::ext2::walkTuning().heldRuns;
  if (held_.size() < (most ? most : kHeldRuns)) return CVoError();
  sortHeld();
  return compareRest();
}

void FileScan::sortHeld() {
  // Counting sort by group: stable, so each group's runs stay in the order found.
  byGroup_.assign(static_cast<size_t>(fs_->groupDescCount) + 1, 0);
  for (const HeldRun& r : held_) ++byGroup_[r.group + 1];
  for (size_t g = 1; g < byGroup_.size(); ++g) byGroup_[g] += byGroup_[g - 1];
  sorted_.resize(held_.size());
  std::vector<uint32_t> next(byGroup_.begin(), byGroup_.end() - 1);
  for (const HeldRun& r : held_) sorted_[next[r.group]++] = r;
  held_.clear();
  compared_.assign(fs_->groupDescCount, 0);
}

void FileScan::compare(uint32_t g, const unsigned char* data) {
  if (g >= compared_.size() || compared_[g]) return;
  compared_[g] = 1;
  // A cluster the bitmap calls free is noted, then taken as used in a copy of the bitmap, so
  // that a second file naming it is not counted again.
  const unsigned char* bits = data;
  const uint32_t cb = fs_->clusterBits;
  const uint64_t groupStart = fs_->firstDataBlock + static_cast<uint64_t>(g) * fs_->blocksPerGroup;
  for (uint32_t k = byGroup_[g]; k < byGroup_[g + 1]; ++k) {
    const HeldRun& r = sorted_[k];
    const uint64_t runEnd = static_cast<uint64_t>(r.offset) + r.count;
    // Clusters [j, jEnd) of the group, whole 64-bit words and bytes of set bits skipped at once:
    // the run's clusters are mostly used already.
    uint64_t j = r.offset >> cb;
    const uint64_t jEnd = ((runEnd - 1) >> cb) + 1;
    while (j < jEnd) {
      if ((j & 63) == 0 && j + 64 <= jEnd) {
        uint64_t w;
        memcpy(&w, bits + (j >> 3), sizeof w);  // compared with all ones only
        if (w == ~0ull) {
          j += 64;
          continue;
        }
      }
      if ((j & 7) == 0 && j + 8 <= jEnd && bits[j >> 3] == 0xFF) {
        j += 8;
        continue;
      }
      if (!((bits[j >> 3] >> (j & 7)) & 1)) {
        const uint64_t from = j << cb > r.offset ? j << cb : r.offset;
        const uint64_t to = (j + 1) << cb < runEnd ? (j + 1) << cb : runEnd;
        freeRuns_.add(r.inode, groupStart + from, to - from);
        if (bits != own_.data()) {
          own_.assign(bits, bits + bs_);
          bits = own_.data();
        }
        own_[j >> 3] = static_cast<unsigned char>(own_[j >> 3] | (1u << (j & 7)));
      }
      ++j;
    }
  }
}

CVoError FileScan::compareRest() {
  for (uint32_t g = 0; g < compared_.size(); ++g) {
    if (compared_[g] || byGroup_[g] == byGroup_[g + 1]) continue;
    // An uninitialised group's bitmap is never read: the maps call every cluster of it free but
    // what its geometry says it holds.
    own_.assign(bs_, 0);
    if (uninitMap_(g, own_.data())) {
      compare(g, own_.data());
      continue;
    }
    uint32_t count = 0;
    CVoError err = readBitmaps_(g, &batch_, &count);
    if (err.code < 0) return err;
    for (uint32_t i = 0; i < count; ++i)
      compare(g + i, batch_.data() + static_cast<size_t>(i) * bs_);
    g += count - 1;
  }
  sorted_.clear();
  compared_.clear();
  return CVoError();
}

}  // namespace

CVoError FsParserExt2::setVerify(bool on) {
  impl_->verifyOn = on;
  return CVoError();
}

FsParser::VerifyReport FsParserExt2::verifyReport() const {
  return impl_->verifyReport;
}

CVoError FsParserExt2::Impl::verifyFiles(const JxCodeLocation& where,
                                         const std::vector<ext4_group_desc_64>& gdt,
                                         uint32_t chunkShift, unsigned char* bitmap,
                                         const std::function<CVoError()>& walk) {
  static const char kTag[] = "FsParserExt2::verify";
  unsigned char sb[kSuperblockSize];
  CVoError err = fs.readBlocks(sb, kSuperblockSize, 1, 1);
  if (err.code < 0)
    return err.Push(FSBMP_AT(where), "Couldn't read SB from %s", fs.devPath.c_str());
  InodeGeometry geo;
  geo.inodeSize = fs.revLevel == 0 ? kGoodOldInodeSize : fsbmp::decodeLE16(sb + kSbInodeSize);
  geo.hugeFile = (fsbmp::decodeLE32(sb + kSbFeatureRoCompat) & kRoCompatHugeFile) != 0;
  geo.wideAcl = (fsbmp::decodeLE32(sb + kSbFeatureIncompat) & kIncompat64bit) != 0;
  if (geo.inodeSize < kGoodOldInodeSize || geo.inodeSize > static_cast<uint32_t>(fs.blockSize) ||
      log2(geo.inodeSize) <= 0 || fs.inodesPerGroup > 8u * static_cast<uint32_t>(fs.blockSize)) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "Superblock of %s is corrupt: %u inodes of %u bytes per group "
                                   "don't fit the group's inode bitmap and table",
                                   fs.devPath.c_str(), fs.inodesPerGroup, geo.inodeSize);
  }

  const bool record = !verifyRecorded;
  verifyRecorded = true;
  FileScan scan(
      &fs, where, gdt, geo,
      [&](uint32_t g, unsigned char* bits) {
        if (!skipsBitmap(gdt[g])) return false;
        // Its superblock copy and descriptor blocks, reserved ones included: the resize inode
        // names those.
        const uint64_t start = fs.firstDataBlock + static_cast<uint64_t>(g) * fs.blocksPerGroup;
        const uint64_t from = groupMetaStart(g) - start;
        const uint64_t to = from + superAndDescBlocks(g);
        for (uint64_t k = from; k < to && k < fs.blocksPerGroup; ++k)
          bits[k >> fs.clusterBits >> 3] |=
              static_cast<unsigned char>(1u << ((k >> fs.clusterBits) & 7));
        return true;
      },
      [&](uint32_t g, std::vector<unsigned char>* into, uint32_t* count) {
        into->resize(static_cast<size_t>(batchBlockCount()) * static_cast<size_t>(fs.blockSize));
        return readGroupBitmaps(where, gdt, g, batchBlockCount(), into->data(), count, false);
      },
      [&](uint64_t first, uint64_t count) { markBlocks(bitmap, first, count, chunkShift); },
      record ? &verifyReport : nullptr);
  err = scan.run();
  if (err.code < 0)
    return err.Push(FSBMP_AT(where), "Couldn't verify the maps of %s by its files",
                    fs.devPath.c_str());
  if (!record) return walk();
  // The walk reads every bitmap that it does not skip; each is compared with the files as it goes
  // by, and only the rest are read here.
  scan.sortHeld();
  onBitmapRead = [&scan](uint32_t g, const unsigned char* data) { scan.compare(g, data); };
  err = walk();
  onBitmapRead = nullptr;
  if (err.code < 0) return err;
  err = scan.compareRest();
  if (err.code < 0)
    return err.Push(FSBMP_AT(where), "Couldn't verify the maps of %s by its files",
                    fs.devPath.c_str());
  fsbmp::logVerifyReport(fs.debug, kTag, fs.devPath, verifyReport, "the maps");
  return CVoError();
}
