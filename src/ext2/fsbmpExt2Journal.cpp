// ext3/ext4: replaying the journal (JBD2) in memory, the way the kernel and e2fsck replay it at
// mount or check, so that the map is of the file system as it will be once it is mounted. The
// journal lives in inode 8; its structures are big-endian. Three passes over the live part of the
// log: scan (descriptor, data and commit blocks while sequence numbers follow on), revoke (the
// newest transaction that revoked each block), replay (each tagged block of each committed
// transaction, unless revoked at or after it; later copies win). Fast commits past the log's last
// transaction, which no replayed block records, give ranges that count as used.
#include "ext2/fsbmpExt2Journal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>

#include "core/checksums.h"
#include "core/coding.h"
#include "core/device.h"
#include "ext2/fsbmpExt2Impl.h"
#include "ext2/fsbmpExt2InodeFormat.h"
#include "ext2/fsbmpExt2JournalFormat.h"
#include "ext2/fsbmpExt2Layout.h"
#include "fsbmp/fsbmpExt2.h"

static const char kFile[] = "fsbmpExt2";
#define HERE JX_LOCATION(kFile)

using namespace fsbmp;
using namespace fsbmp::ext2;

namespace {

// Reads one file-system block of the device as it stands.
using BlockReader = std::function<CVoError(uint64_t block, unsigned char* buf)>;

struct Context {
  const JxCodeLocation& where;
  const char* path;
  int blockSize;
  uint64_t blockCount;
  BlockReader read;

  CVoError corrupt(const char* what) const {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS, "Journal of %s is corrupt: %s", path,
                                   what);
  }
};

// An extent-tree node's header: its entries and depth, when it has the magic, fits its
// `nodeBytes` and lies no deeper than `depthLeft`.
bool extentNode(const unsigned char* node, size_t nodeBytes, unsigned depthLeft, uint16_t* entries,
                uint16_t* depth) {
  if (nodeBytes < static_cast<size_t>(kExtentEntryBytes) ||
      decodeLE16(node + kEhMagic) != kExtentMagic)
    return false;
  *entries = decodeLE16(node + kEhEntries);
  *depth = decodeLE16(node + kEhDepth);
  return static_cast<size_t>(kExtentEntryBytes) * (*entries + 1u) <= nodeBytes &&
         *depth <= depthLeft;
}

// A leaf entry as the journal's map takes it.
JournalExtent leafExtent(const unsigned char* e) {
  const ExtentLeaf x = decodeExtentLeaf(e);
  return {x.logical, x.physical, x.length};
}

// Appends the extents of an extent-tree node; `depth` counts the levels left below it.
CVoError walkExtents(const Context& cx, const unsigned char* node, size_t nodeBytes,
                     unsigned depthLeft, std::vector<JournalExtent>* out) {
  uint16_t entries = 0, depth = 0;
  if (!extentNode(node, nodeBytes, depthLeft, &entries, &depth))
    return cx.corrupt("the journal inode's extent tree does not fit its blocks");
  std::vector<unsigned char> child(static_cast<size_t>(cx.blockSize));
  for (uint16_t i = 0; i < entries; ++i) {
    const unsigned char* e = node + kExtentEntryBytes * (i + 1);
    if (depth == 0) {
      out->push_back(leafExtent(e));
      continue;
    }
    const uint64_t leaf = decodeExtentChild(e);
    if (leaf >= cx.blockCount) return cx.corrupt("an extent tree block lies outside the device");
    CVoError err = cx.read(leaf, child.data());
    if (err.code < 0) return err;
    err = walkExtents(cx, child.data(), child.size(), depth - 1u, out);
    if (err.code < 0) return err;
  }
  return CVoError();
}

// Appends the blocks of an inode's extent tree and the extents its leaves hold, as far as the
// device's blocks make sense: a fast commit's inode may point at tree blocks that the device
// does not hold yet, and counting more as used is always safe.
void collectExtentTree(const Context& cx, const unsigned char* node, size_t nodeBytes,
                       unsigned depthLeft, std::vector<std::pair<uint64_t, uint64_t>>* out) {
  uint16_t entries = 0, depth = 0;
  if (!extentNode(node, nodeBytes, depthLeft, &entries, &depth)) return;
  std::vector<unsigned char> child(static_cast<size_t>(cx.blockSize));
  for (uint16_t i = 0; i < entries; ++i) {
    const unsigned char* e = node + kExtentEntryBytes * (i + 1);
    if (depth == 0) {
      const JournalExtent x = leafExtent(e);
      if (x.physical < cx.blockCount) out->push_back({x.physical, x.count});
      continue;
    }
    const uint64_t leaf = decodeExtentChild(e);
    if (leaf >= cx.blockCount) continue;
    out->push_back({leaf, 1});
    if (cx.read(leaf, child.data()).code >= 0)
      collectExtentTree(cx, child.data(), child.size(), depth - 1u, out);
  }
}

// Appends the blocks that an indirect block of `level` (1: single) maps, from `logical` on.
CVoError walkIndirect(const Context& cx, uint64_t block, int level, uint64_t* logical,
                      uint64_t wanted, std::vector<JournalExtent>* out) {
  const uint64_t perBlock = static_cast<uint64_t>(cx.blockSize) / 4;
  uint64_t span = 1;
  for (int l = 1; l < level; ++l) span *= perBlock;
  if (block == 0) {  // a hole
    *logical += span * perBlock;
    return CVoError();
  }
  if (block >= cx.blockCount) return cx.corrupt("an indirect block lies outside the device");
  std::vector<unsigned char> ptrs(static_cast<size_t>(cx.blockSize));
  CVoError err = cx.read(block, ptrs.data());
  if (err.code < 0) return err;
  for (uint64_t i = 0; i < perBlock && *logical < wanted; ++i) {
    const uint32_t p = decodeLE32(ptrs.data() + 4 * i);
    if (level == 1) {
      if (p != 0) out->push_back({*logical, p, 1});
      ++*logical;
    } else {
      err = walkIndirect(cx, p, level - 1, logical, wanted, out);
      if (err.code < 0) return err;
    }
  }
  return CVoError();
}

// The device block of journal block `j`, or UINT64_MAX where the map has none.
uint64_t deviceBlockOf(const std::vector<JournalExtent>& map, uint64_t j) {
  size_t lo = 0;
  size_t hi = map.size();
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (map[mid].logical + map[mid].count <= j) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo < map.size() && map[lo].logical <= j) return map[lo].physical + (j - map[lo].logical);
  return UINT64_MAX;
}

uint32_t crc32cOf(uint32_t seed, const unsigned char* p, size_t n) {
  mb_crc32c(p, n, &seed);
  return seed;
}

// A block's own checksum with its 4-byte field at `at` taken as zeros.
uint32_t blockCsum(uint32_t seed, std::vector<unsigned char> block, size_t at) {
  memset(block.data() + at, 0, 4);
  return crc32cOf(seed, block.data(), block.size());
}

const char kTag[] = "FsParserExt2::init";

struct Tag {
  uint64_t target;   // file-system block
  uint64_t journal;  // journal block of the copy
  bool escaped;
};

// What the journal superblock says of the log.
struct LogGeometry {
  bool csumV2 = false;
  bool csumV3 = false;
  bool wide = false;    // 64bit: block numbers of 8 bytes
  uint32_t seed = 0;    // crc32c of the journal's UUID, under csum v2 and v3
  uint32_t first = 0;   // the log is journal blocks [first, last)
  uint32_t last = 0;    // where the fast-commit area begins
  uint32_t maxLen = 0;  // journal blocks in all
  uint32_t fcBlocks = 0;
  uint32_t start = 0;     // the log's oldest block; 0 when the journal is empty
  uint32_t sequence = 0;  // the sequence number of the transaction at `start`
  size_t tagBytes = 0;    // of one descriptor tag, without its UUID
  size_t tailBytes = 0;   // of a descriptor or revoke block's checksum

  bool checksummed() const { return csumV2 || csumV3; }
  // The journal block after `j`, the log wrapping from its last block to its first.
  uint64_t next(uint64_t j) const { return j + 1 >= last ? first : j + 1; }
};

// What the scan found in the live part of the log.
struct ScannedLog {
  // Each committed transaction's sequence number and tags, in log order.
  std::vector<std::pair<uint32_t, std::vector<Tag>>> committed;
  std::vector<std::pair<uint64_t, uint32_t>> revokes;  // block, sequence that revoked it
  // The first transaction whose commit block fails its checksum, if any.
  bool badCommit = false;
  uint32_t firstBadCommit = 0;
  uint32_t endSequence = 0;  // the first sequence number the log does not hold
  uint64_t endBlock = 0;     // journal block where the log ended
};

// Collects into *out what the fast commits in journal blocks [first, end) allocate: every
// range of an add-range record, and the extent trees and extents of every inode record's inode.
CVoError scanFastCommits(const Context& cx, const BlockReader& readJournal, uint64_t first,
                         uint64_t end, uint32_t sequence,
                         std::vector<std::pair<uint64_t, uint64_t>>* out) {
  std::vector<unsigned char> block(static_cast<size_t>(cx.blockSize));
  const size_t size = block.size();
  for (uint64_t j = first; j < end; ++j) {
    CVoError err = readJournal(j, block.data());
    if (err.code < 0) return err;
    // Tag, length and value records; a block ends at its padding or its last record. An
    // unknown tag, a record past the block, or the head of an older fast commit ends the area.
    for (size_t at = 0; at + kFcRecordHeader <= size;) {
      const uint16_t tag = decodeLE16(block.data() + at);
      const size_t length = decodeLE16(block.data() + at + kOffFcLength);
      const unsigned char* value = block.data() + at + kFcRecordHeader;
      if (at + kFcRecordHeader + length > size) return CVoError();
      switch (tag) {
        case kFcTagAddRange:
          if (length >= kFcAddRangeBytes) {
            const JournalExtent x = leafExtent(value + kFcAddRangeExtent);
            if (x.physical < cx.blockCount) out->push_back({x.physical, x.count});
          }
          break;
        case kFcTagInode:
          if (length >= kFcInodeRaw + kInoBlock + kInoBlockBytes &&
              (decodeLE32(value + kFcInodeRaw + kInoFlags) & kFlagExtents))
            collectExtentTree(cx, value + kFcInodeRaw + kInoBlock, kInoBlockBytes, kMaxExtentDepth,
                              out);
          break;
        case kFcTagHead:
          if (length < kFcHeadBytes || decodeLE32(value + kFcHeadTid) - sequence >= 0x80000000u)
            return CVoError();
          break;
        case kFcTagDelRange:
        case kFcTagCreate:
        case kFcTagLink:
        case kFcTagUnlink:
        case kFcTagTail:
          break;
        case kFcTagPad:
          at = size;
          continue;
        default:
          return CVoError();
      }
      at += kFcRecordHeader + length;
    }
  }
  return CVoError();
}

// The journal superblock (journal block `source.superblock`), checked: its magic, features this
// code knows, its checksum under csum v2 and v3, and a geometry that fits the journal.
CVoError readLogGeometry(const Context& cx, const JournalSource& source, LogGeometry* g) {
  std::vector<unsigned char> jsb(static_cast<size_t>(cx.blockSize));
  CVoError err = source.read(source.superblock, jsb.data());
  if (err.code < 0)
    return err.Push(FSBMP_AT(cx.where), "Couldn't read the journal superblock of %s", cx.path);
  const uint32_t type = decodeBE32(jsb.data() + kOffHeaderType);
  if (decodeBE32(jsb.data()) != kJournalMagic || (type != kSuperblockV1 && type != kSuperblockV2))
    return cx.corrupt("the journal superblock has no JBD2 magic");
  const uint32_t incompat = type == kSuperblockV2 ? decodeBE32(jsb.data() + kJsbIncompat) : 0;
  if (incompat & ~kJIncompatKnown) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(cx.where), ENOSYS,
                                   "Journal of %s has unknown incompatible features 0x%08x",
                                   cx.path, incompat & ~kJIncompatKnown);
  }
  g->csumV2 = (incompat & kJIncompatCsumV2) != 0;
  g->csumV3 = (incompat & kJIncompatCsumV3) != 0;
  g->wide = (incompat & kJIncompat64bit) != 0;
  if (g->checksummed()) {
    const uint32_t stored = decodeBE32(jsb.data() + kJsbChecksum);
    std::vector<unsigned char> head(jsb.begin(), jsb.begin() + kJsbSize);
    const uint32_t computed = blockCsum(0xFFFFFFFF, head, kJsbChecksum);
    if (computed != stored && kChecksumsRefuse) {
      return JxErrorUtil::ErrorErrNo(
          FSBMP_AT(cx.where), ENOSYS,
          "Journal superblock of %s fails its checksum (stored 0x%08x, computed 0x%08x)", cx.path,
          stored, computed);
    }
    g->seed = crc32cOf(0xFFFFFFFF, jsb.data() + kJsbUuid, 16);
  }
  const uint32_t jBlockSize = decodeBE32(jsb.data() + kJsbBlockSize);
  g->maxLen = decodeBE32(jsb.data() + kJsbMaxLen);
  g->first = decodeBE32(jsb.data() + kJsbFirst);
  g->sequence = decodeBE32(jsb.data() + kJsbSequence);
  g->start = decodeBE32(jsb.data() + kJsbStart);
  if (incompat & kJIncompatFastCommit) {
    g->fcBlocks = decodeBE32(jsb.data() + kJsbNumFcBlocks);
    if (g->fcBlocks == 0) g->fcBlocks = kDefaultFcBlocks;
  }
  if (jBlockSize != static_cast<uint32_t>(cx.blockSize) || g->first == 0 ||
      g->maxLen <= g->fcBlocks || g->first + 1 >= g->maxLen - g->fcBlocks ||
      g->first <= source.superblock || source.deviceBlock(g->maxLen - 1) == UINT64_MAX)
    return cx.corrupt("the journal superblock's geometry does not fit the journal inode");
  g->last = g->maxLen - g->fcBlocks;
  if (g->start != 0 && (g->start < g->first || g->start >= g->last))
    return cx.corrupt("the log starts outside the journal");
  g->tagBytes = journalTagBytes(g->csumV2, g->csumV3, g->wide);
  g->tailBytes = g->checksummed() ? kBlockTailBytes : 0;
  return CVoError();
}

// Under csum v2 and v3, a descriptor or revoke block (journal block `j`) against the checksum in
// its tail.
CVoError checkBlockTail(const Context& cx, const LogGeometry& g,
                        const std::vector<unsigned char>& block, uint64_t j) {
  if (!g.tailBytes) return CVoError();
  const size_t at = static_cast<size_t>(cx.blockSize) - kBlockTailBytes;
  const uint32_t stored = decodeBE32(block.data() + at);
  if (blockCsum(g.seed, block, at) != stored && kChecksumsRefuse) {
    char what[96];
    snprintf(what, sizeof what, "journal block %llu fails its checksum",
             static_cast<unsigned long long>(j));
    return cx.corrupt(what);
  }
  return CVoError();
}

// Appends to *tags the tags of descriptor block `block` (journal block *j) of transaction
// `sequence`, each with the journal block of its copy; the copies follow the descriptor, and
// under csum v2 and v3 each is read and checked against its tag. *j becomes the last copy's
// block, and *scanned counts the copies.
CVoError readTags(const Context& cx, const LogGeometry& g, const BlockReader& readJournal,
                  const std::vector<unsigned char>& block, uint32_t sequence, uint64_t* j,
                  uint64_t* scanned, std::vector<Tag>* tags) {
  std::vector<unsigned char> data(static_cast<size_t>(cx.blockSize));
  const size_t end = static_cast<size_t>(cx.blockSize) - g.tailBytes;
  uint64_t dataBlock = *j;
  for (size_t at = kHeaderSize; at + g.tagBytes <= end;) {
    const JournalTag t = decodeJournalTag(block.data() + at, g.csumV3, g.wide);
    dataBlock = g.next(dataBlock);
    ++*scanned;
    if (g.checksummed()) {
      CVoError err = readJournal(dataBlock, data.data());
      if (err.code < 0) return err;
      unsigned char seqBE[4];
      encodeBE32(seqBE, sequence);
      uint32_t sum = crc32cOf(crc32cOf(g.seed, seqBE, 4), data.data(), data.size());
      if (!g.csumV3) sum &= 0xFFFF;
      if (sum != t.checksum && kChecksumsRefuse) {
        return JxErrorUtil::ErrorErrNo(
            FSBMP_AT(cx.where), ENOSYS,
            "Journal of %s: the copy of block %llu in transaction %u fails its checksum "
            "(stored 0x%08x, computed 0x%08x)",
            cx.path, static_cast<unsigned long long>(t.target), sequence, t.checksum, sum);
      }
    }
    if (t.target >= cx.blockCount) return cx.corrupt("a journal tag names a block past the end");
    tags->push_back({t.target, dataBlock, (t.flags & kTagEscape) != 0});
    at += g.tagBytes + ((t.flags & kTagSameUuid) ? 0 : kTagUuidBytes);
    if (t.flags & kTagLast) break;
  }
  *j = dataBlock;
  return CVoError();
}

// Appends to *revokes the blocks that revoke block `block` of transaction `sequence` revokes,
// each with that sequence.
CVoError readRevokes(const Context& cx, const LogGeometry& g,
                     const std::vector<unsigned char>& block, uint32_t sequence,
                     std::vector<std::pair<uint64_t, uint32_t>>* revokes) {
  const uint32_t count = decodeBE32(block.data() + kRevokeCount);
  const size_t entry = g.wide ? 8 : 4;
  if (count < kRevokeHeader || count > static_cast<uint32_t>(cx.blockSize) - g.tailBytes)
    return cx.corrupt("a revoke block's count does not fit it");
  for (size_t at = kRevokeHeader; at + entry <= count; at += entry) {
    const uint64_t b = g.wide ? decodeBE64(block.data() + at) : decodeBE32(block.data() + at);
    revokes->emplace_back(b, sequence);
  }
  return CVoError();
}

// Under csum v2 and v3, commit block `block` of transaction `sequence` against its checksum. The
// first transaction whose commit block fails it is noted in *log: e2fsck ends the log before
// that transaction, recent kernels may replay it and go on; neither is known to be the one that
// will happen, so both are mapped.
void checkCommit(const LogGeometry& g, const std::vector<unsigned char>& block, uint32_t sequence,
                 PdDebug* debug, ScannedLog* log) {
  if (!g.checksummed()) return;
  const uint32_t stored = decodeBE32(block.data() + kCommitChecksum);
  const uint32_t computed = blockCsum(g.seed, block, kCommitChecksum);
  if (stored != computed && kChecksumsRefuse && !log->badCommit) {
    debug->Debug(kTag,
                 "   journal: the commit block of transaction %u fails its checksum (stored "
                 "0x%08x, computed 0x%08x): mapped both as ending the log before it and as "
                 "going on",
                 sequence, stored, computed);
    log->badCommit = true;
    log->firstBadCommit = sequence;
  }
}

// Scan and revoke: from the log's start, while the blocks carry the magic and sequence numbers
// that follow on, the committed transactions' tags and every revoke record. A block of no known
// type ends the log; the tags of a transaction that no commit block closes are left out.
CVoError scanLog(const Context& cx, const LogGeometry& g, const BlockReader& readJournal,
                 PdDebug* debug, ScannedLog* log) {
  std::vector<unsigned char> block(static_cast<size_t>(cx.blockSize));
  std::vector<Tag> pending;
  uint32_t sequence = g.sequence;
  uint64_t j = g.start;
  for (uint64_t scanned = 0; scanned < g.last - g.first;) {
    CVoError err = readJournal(j, block.data());
    if (err.code < 0)
      return err.Push(FSBMP_AT(cx.where), "Couldn't read journal block %llu of %s",
                      static_cast<unsigned long long>(j), cx.path);
    if (decodeBE32(block.data()) != kJournalMagic ||
        decodeBE32(block.data() + kOffHeaderSequence) != sequence)
      break;  // the end of the log
    const uint32_t blockType = decodeBE32(block.data() + kOffHeaderType);
    if (blockType == kBlockDescriptor) {
      err = checkBlockTail(cx, g, block, j);
      if (err.code >= 0)
        err = readTags(cx, g, readJournal, block, sequence, &j, &scanned, &pending);
    } else if (blockType == kBlockRevoke) {
      err = checkBlockTail(cx, g, block, j);
      if (err.code >= 0) err = readRevokes(cx, g, block, sequence, &log->revokes);
    } else if (blockType == kBlockCommit) {
      checkCommit(g, block, sequence, debug, log);
      log->committed.emplace_back(sequence, std::move(pending));
      pending.clear();
      ++sequence;
    } else {
      break;  // a block of no known type ends the log
    }
    if (err.code < 0) return err;
    j = g.next(j);
    ++scanned;
  }
  log->endSequence = sequence;
  log->endBlock = j;
  return CVoError();
}

// Fast commits past the last full commit: mount rebuilds the inodes they name and the bitmaps
// from those inodes, and logs no bitmap of theirs, so no overlay holds what they allocate. When
// the area's first block (the block after `g.last`, as the kernel places it) opens with the head
// of fast commits that follow transaction `sequence` - 1, *found is set, and every range that an
// add-range record names and every block of the extent trees (and of the extents) of the inodes
// that inode records carry go into *out, to count as used.
CVoError readFastCommitArea(const Context& cx, const LogGeometry& g, const BlockReader& readJournal,
                            uint32_t sequence, bool* found,
                            std::vector<std::pair<uint64_t, uint64_t>>* out) {
  *found = false;
  if (!g.fcBlocks) return CVoError();
  std::vector<unsigned char> block(static_cast<size_t>(cx.blockSize));
  CVoError err = readJournal(g.last + 1, block.data());
  if (err.code < 0) return err;
  if (decodeLE16(block.data()) != kFcTagHead ||
      decodeLE32(block.data() + kFcRecordHeader + kFcHeadTid) - sequence >= 0x80000000u)
    return CVoError();
  *found = true;
  return scanFastCommits(cx, readJournal, g.last + 1, g.maxLen, sequence, out);
}

// Revoke: for each block revoked by a transaction before `endSequence`, the newest such
// transaction. Sequence numbers wrap: they compare as distances from `firstSequence`, the log's
// first.
std::map<uint64_t, uint32_t> newestRevokes(const ScannedLog& log, uint32_t firstSequence,
                                           uint32_t endSequence) {
  std::map<uint64_t, uint32_t> revokedAt;
  for (const auto& r : log.revokes) {
    if (r.second - firstSequence >= endSequence - firstSequence) continue;
    const auto known = revokedAt.find(r.first);
    if (known == revokedAt.end())
      revokedAt.emplace(r.first, r.second);
    else if (r.second - firstSequence >= known->second - firstSequence)
      known->second = r.second;
  }
  return revokedAt;
}

// Replay: the copies of the first `end` committed transactions (in log order, so that later
// copies win), each unless revoked by the same or a later one of those; *revoked counts the
// copies left out.
std::map<uint64_t, BlockOverlay::Copy> replayCommitted(const ScannedLog& log,
                                                       const JournalSource& source,
                                                       uint32_t firstSequence, size_t end,
                                                       uint32_t* revoked) {
  const uint32_t endSequence =
      end < log.committed.size() ? log.committed[end].first : log.endSequence;
  const std::map<uint64_t, uint32_t> revokedAt = newestRevokes(log, firstSequence, endSequence);
  std::map<uint64_t, BlockOverlay::Copy> copies;
  for (size_t i = 0; i < end; ++i) {
    const auto& t = log.committed[i];
    for (const Tag& tag : t.second) {
      const auto r = revokedAt.find(tag.target);
      if (r != revokedAt.end() && r->second - firstSequence >= t.first - firstSequence) {
        ++*revoked;
        continue;
      }
      copies[tag.target] = {source.deviceBlock(tag.journal), tag.escaped};
    }
  }
  return copies;
}

}  // namespace

CVoError FsParserExt2::Impl::replayJournal(const JxCodeLocation& where, const unsigned char* sb) {
  const char* path = fs.devPath.c_str();
  Context cx{where, path, fs.blockSize, static_cast<uint64_t>(fs.blockCount),
             [this](uint64_t block, unsigned char* buf) {
               return fs.readBlocks(buf, fs.blockSize, static_cast<long long>(block), 1);
             }};

  // The journal inode, from group 0's inode table as the device holds it.
  std::vector<unsigned char> block(static_cast<size_t>(fs.blockSize));
  CVoError err = cx.read(groupMetaStart(0) + 1, block.data());
  if (err.code < 0) return err.Push(FSBMP_AT(where), "Couldn't read the descriptor of group 0");
  const ext4_group_desc_64 group0 = decodeGroupDesc(block.data(), fs.groupDescSize >= kDescSize64);
  const uint32_t inodeSize =
      fs.revLevel == 0 ? kGoodOldInodeSize : fsbmp::decodeLE16(sb + kSbInodeSize);
  if (inodeSize < kGoodOldInodeSize || inodeSize > static_cast<uint32_t>(fs.blockSize) ||
      fs.inodesPerGroup < kJournalInode)
    return cx.corrupt("the journal inode is out of reach");
  const uint64_t inodeByte = static_cast<uint64_t>(kJournalInode - 1) * inodeSize;
  const uint64_t inodeBlock = group0.inodeTable() + inodeByte / static_cast<uint64_t>(fs.blockSize);
  if (inodeBlock >= cx.blockCount) return cx.corrupt("the inode table lies outside the device");
  err = cx.read(inodeBlock, block.data());
  if (err.code < 0) return err.Push(FSBMP_AT(where), "Couldn't read the journal inode of %s", path);
  const unsigned char* inode = block.data() + inodeByte % static_cast<uint64_t>(fs.blockSize);

  // Its block map: an extent tree, or ext3's direct and indirect blocks.
  std::vector<JournalExtent> map;
  if (fsbmp::decodeLE32(inode + kInoFlags) & kFlagExtents) {
    err = walkExtents(cx, inode + kInoBlock, kInoBlockBytes, kMaxExtentDepth, &map);
  } else {
    uint64_t logical = 0;
    for (int i = 0; i < kDirectSlots; ++i, ++logical) {
      const uint32_t p = fsbmp::decodeLE32(inode + kInoBlock + 4 * i);
      if (p != 0) map.push_back({logical, p, 1});
    }
    for (int level = 1; level <= 3 && err.code >= 0; ++level) {
      const uint32_t p = fsbmp::decodeLE32(inode + kInoBlock + 4 * (kDirectSlots + level - 1));
      err = walkIndirect(cx, p, level, &logical, UINT64_MAX >> 2, &map);
    }
  }
  if (err.code < 0) return err;
  // Sorted and merged, for lookups by journal block.
  std::sort(map.begin(), map.end(),
            [](const JournalExtent& a, const JournalExtent& b) { return a.logical < b.logical; });
  std::vector<JournalExtent> merged;
  for (const JournalExtent& e : map) {
    if (e.count == 0) continue;
    if (!merged.empty() && merged.back().logical + merged.back().count == e.logical &&
        merged.back().physical + merged.back().count == e.physical) {
      merged.back().count += e.count;
    } else {
      merged.push_back(e);
    }
  }
  JournalSource source;
  source.read = [&](uint64_t j, unsigned char* buf) -> CVoError {
    const uint64_t at = deviceBlockOf(merged, j);
    if (at >= cx.blockCount) {
      char what[96];
      snprintf(what, sizeof what, "journal block %llu is not mapped to the device",
               static_cast<unsigned long long>(j));
      return cx.corrupt(what);
    }
    return cx.read(at, buf);
  };
  source.deviceBlock = [&](uint64_t j) { return deviceBlockOf(merged, j); };
  return replayLog(where, source);
}

CVoError FsParserExt2::Impl::replayLog(const JxCodeLocation& where, const JournalSource& source) {
  const Context cx{where, fs.devPath.c_str(), fs.blockSize, static_cast<uint64_t>(fs.blockCount),
                   [this](uint64_t block, unsigned char* buf) {
                     return fs.readBlocks(buf, fs.blockSize, static_cast<long long>(block), 1);
                   }};
  LogGeometry g;
  CVoError err = readLogGeometry(cx, source, &g);
  if (err.code < 0) return err;
  if (g.start == 0) {
    fs.debug.Debug(kTag, "   journal: needs_recovery set, but the journal is empty");
    return CVoError();
  }
  ScannedLog log;
  err = scanLog(cx, g, source.read, &fs.debug, &log);
  if (err.code < 0) return err;

  fs.fastCommitExtents.clear();
  bool fastCommits = false;
  err =
      readFastCommitArea(cx, g, source.read, log.endSequence, &fastCommits, &fs.fastCommitExtents);
  if (err.code < 0) return err;
  if (fastCommits) {
    fs.debug.Debug(kTag, "   journal: fast commits past transaction %u: %zu ranges counted used",
                   log.endSequence - 1, fs.fastCommitExtents.size());
  }

  uint32_t revoked = 0;
  std::map<uint64_t, BlockOverlay::Copy> copies =
      replayCommitted(log, source, g.sequence, log.committed.size(), &revoked);
  if (log.badCommit) {
    // The replay that ends the log before the first transaction whose commit block fails its
    // checksum, as e2fsck's does.
    size_t before = 0;
    while (before < log.committed.size() && log.committed[before].first != log.firstBadCommit)
      ++before;
    uint32_t ignored = 0;
    std::map<uint64_t, BlockOverlay::Copy> shorter =
        replayCommitted(log, source, g.sequence, before, &ignored);
    if (!shorter.empty())
      fs.alsoReplayed = std::make_shared<BlockOverlay>(fs.onDisk, fs.blockSize, std::move(shorter),
                                                       source.copiesFrom);
    else
      fs.alsoReplayed = fs.onDisk;
  }
  fs.replayedTransactions = static_cast<uint32_t>(log.committed.size());
  fs.replayedBlocks = static_cast<uint32_t>(copies.size());
  fs.debug.Debug(
      kTag,
      "   journal: replayed %u transactions (%u to %u), %u blocks, %u revoked copies; the "
      "log ends at journal block %llu",
      fs.replayedTransactions, g.sequence, log.endSequence - 1, fs.replayedBlocks, revoked,
      static_cast<unsigned long long>(log.endBlock));
  if (!copies.empty())
    fs.view = std::make_shared<BlockOverlay>(fs.onDisk, fs.blockSize, std::move(copies),
                                             source.copiesFrom);
  return CVoError();
}

CVoError FsParserExt2::setJournalDevice(const std::string& path) {
  static const unsigned char kNil[16] = {};
  if (journalInode != 0 || memcmp(impl_->journalUuid, kNil, sizeof kNil) == 0) {
    return JxErrorUtil::ErrorErrNo(HERE, EINVAL, "%s keeps no journal on another device",
                                   devPath.c_str());
  }
  std::unique_ptr<CVoFile> file(new CVoFile());
  CVoError err = file->Open(path.c_str(), kDeviceOpenFlags, kDeviceOpenMode);
  if (err.code < 0) return err.Push(HERE, "Couldn't open %s for reading", path.c_str());
  impl_->journalFile = std::move(file);
  impl_->journalView = std::make_shared<FileView>(impl_->journalFile.get());
  if (!needsRecovery) return CVoError();
  err = impl_->replayExternal(HERE, path);
  if (err.code < 0) {
    replayError = err;
    return err;
  }
  replayError = CVoError();
  return CVoError();
}

CVoError FsParserExt2::Impl::replayExternal(const JxCodeLocation& where, const std::string& path) {
  // The journal device: an ext superblock with the JOURNAL_DEV feature whose UUID this file
  // system names, then the journal superblock in the block after it; journal blocks are the
  // device's own blocks.
  unsigned char sb[1024];
  uint32_t got = 0;
  CVoError err = journalView->readAt(1024, sb, sizeof sb, &got);
  if (err.code < 0)
    return err.Push(FSBMP_AT(where), "Couldn't read the superblock of %s", path.c_str());
  const uint32_t logBlock = decodeLE32(sb + kSbLogBlockSize);
  if (got != sizeof sb || decodeLE16(sb + kSbMagic) != kExt2Magic ||
      !(decodeLE32(sb + kSbFeatureIncompat) & kIncompatJournalDev)) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS, "%s is not an ext3/4 journal device",
                                   path.c_str());
  }
  if (memcmp(sb + kSbUuid, journalUuid, sizeof journalUuid) != 0) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "%s is the journal of another file system, not of %s",
                                   path.c_str(), fs.devPath.c_str());
  }
  if (logBlock > kMaxLogBlockSize || (1024u << logBlock) != static_cast<uint32_t>(fs.blockSize)) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "Journal device %s has blocks of another size than %s",
                                   path.c_str(), fs.devPath.c_str());
  }
  int64_t bytes = 0;
  err = journalView->length(&bytes);
  if (err.code < 0) return err.Push(FSBMP_AT(where), "Couldn't measure %s", path.c_str());
  const uint64_t deviceBlocks = static_cast<uint64_t>(bytes) / static_cast<uint64_t>(fs.blockSize);
  JournalSource source;
  source.superblock = fs.blockSize == 1024 ? 2 : 1;
  source.copiesFrom = journalView;
  source.deviceBlock = [deviceBlocks](uint64_t j) { return j < deviceBlocks ? j : UINT64_MAX; };
  std::shared_ptr<DeviceView> device = journalView;
  const int size = fs.blockSize;
  source.read = [device, size, where](uint64_t j, unsigned char* buf) {
    return readViewBlocks(FSBMP_AT(where), device.get(), buf, size, static_cast<long long>(j), 1);
  };
  // The journal superblock names the same UUID.
  std::vector<unsigned char> jsb(static_cast<size_t>(fs.blockSize));
  err = source.read(source.superblock, jsb.data());
  if (err.code < 0) return err;
  if (memcmp(jsb.data() + kJsbUuid, journalUuid, sizeof journalUuid) != 0) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "%s is the journal of another file system, not of %s",
                                   path.c_str(), fs.devPath.c_str());
  }
  return replayLog(where, source);
}
