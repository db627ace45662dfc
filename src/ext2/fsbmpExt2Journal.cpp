// ext3/ext4: replaying the journal (JBD2) in memory, the way the kernel and e2fsck replay it at
// mount or check, so that the map is of the file system as it will be once it is mounted. The
// journal lives in inode 8; its structures are big-endian. Three passes over the live part of the
// log: scan (descriptor, data and commit blocks while sequence numbers follow on), revoke (the
// newest transaction that revoked each block), replay (each tagged block of each committed
// transaction, unless revoked at or after it; later copies win).
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
  if (nodeBytes < static_cast<size_t>(kExtentEntry) || decodeLE16(node) != kExtentMagic)
    return false;
  *entries = decodeLE16(node + 2);
  *depth = decodeLE16(node + 6);
  return static_cast<size_t>(kExtentEntry) * (*entries + 1u) <= nodeBytes && *depth <= depthLeft;
}

// A leaf entry (ext4_extent): first logical block, first physical block, length.
JournalExtent leafExtent(const unsigned char* e) {
  uint32_t len = decodeLE16(e + 4);
  if (len > 32768) len -= 32768;  // an unwritten extent
  return {decodeLE32(e), static_cast<uint64_t>(decodeLE16(e + 6)) << 32 | decodeLE32(e + 8), len};
}

// The child block an index entry (ext4_extent_idx) points to.
uint64_t indexChild(const unsigned char* e) {
  return static_cast<uint64_t>(decodeLE16(e + 8)) << 32 | decodeLE32(e + 4);
}

// Appends the extents of an extent-tree node; `depth` counts the levels left below it.
CVoError walkExtents(const Context& cx, const unsigned char* node, size_t nodeBytes,
                     unsigned depthLeft, std::vector<JournalExtent>* out) {
  uint16_t entries = 0, depth = 0;
  if (!extentNode(node, nodeBytes, depthLeft, &entries, &depth))
    return cx.corrupt("the journal inode's extent tree does not fit its blocks");
  std::vector<unsigned char> child(static_cast<size_t>(cx.blockSize));
  for (uint16_t i = 0; i < entries; ++i) {
    const unsigned char* e = node + kExtentEntry * (i + 1);
    if (depth == 0) {
      out->push_back(leafExtent(e));
      continue;
    }
    const uint64_t leaf = indexChild(e);
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
    const unsigned char* e = node + kExtentEntry * (i + 1);
    if (depth == 0) {
      const JournalExtent x = leafExtent(e);
      if (x.physical < cx.blockCount) out->push_back({x.physical, x.count});
      continue;
    }
    const uint64_t leaf = indexChild(e);
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

// What a replay found, for the debug log.
struct ReplaySummary {
  uint32_t transactions = 0;  // committed transactions replayed
  uint32_t blocks = 0;        // distinct file-system blocks overlaid
  uint32_t revoked = 0;       // tagged copies skipped because a later revoke covers them
  uint32_t firstSequence = 0;
  uint32_t endSequence = 0;  // the first sequence number the log does not hold
  uint64_t endBlock = 0;     // journal block where the log ended
};

struct Tag {
  uint64_t target;   // file-system block
  uint64_t journal;  // journal block of the copy
  bool escaped;
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
          if (length >= kFcInodeRaw + kInodeBlock + kInodeBlockBytes &&
              (decodeLE32(value + kFcInodeRaw + kInodeFlags) & kExtentsFlag))
            collectExtentTree(cx, value + kFcInodeRaw + kInodeBlock, kInodeBlockBytes,
                              kMaxExtentDepth, out);
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

}  // namespace

CVoError FsParserExt2::replayJournal(const JxCodeLocation& where, const unsigned char* sb) {
  const char* path = devPath.c_str();
  Context cx{where, path, blockSize, static_cast<uint64_t>(blockCount),
             [this](uint64_t block, unsigned char* buf) {
               return readBlocks(buf, blockSize, static_cast<long long>(block), 1);
             }};

  // The journal inode, from group 0's inode table as the device holds it.
  std::vector<unsigned char> block(static_cast<size_t>(blockSize));
  CVoError err = cx.read(groupMetaStart(0) + 1, block.data());
  if (err.code < 0) return err.Push(FSBMP_AT(where), "Couldn't read the descriptor of group 0");
  const ext4_group_desc_64 group0 = decodeGroupDesc(block.data(), groupDescSize >= kDescSize64);
  const uint32_t inodeSize =
      revLevel == 0 ? kGoodOldInodeSize : fsbmp::decodeLE16(sb + kSbInodeSize);
  if (inodeSize < kGoodOldInodeSize || inodeSize > static_cast<uint32_t>(blockSize) ||
      inodesPerGroup < kJournalInode)
    return cx.corrupt("the journal inode is out of reach");
  const uint64_t inodeByte = static_cast<uint64_t>(kJournalInode - 1) * inodeSize;
  const uint64_t inodeBlock = group0.inodeTable() + inodeByte / static_cast<uint64_t>(blockSize);
  if (inodeBlock >= cx.blockCount) return cx.corrupt("the inode table lies outside the device");
  err = cx.read(inodeBlock, block.data());
  if (err.code < 0) return err.Push(FSBMP_AT(where), "Couldn't read the journal inode of %s", path);
  const unsigned char* inode = block.data() + inodeByte % static_cast<uint64_t>(blockSize);

  // Its block map: an extent tree, or ext3's direct and indirect blocks.
  std::vector<JournalExtent> map;
  if (fsbmp::decodeLE32(inode + kInodeFlags) & kExtentsFlag) {
    err = walkExtents(cx, inode + kInodeBlock, kInodeBlockBytes, kMaxExtentDepth, &map);
  } else {
    uint64_t logical = 0;
    for (int i = 0; i < kDirectPointers; ++i, ++logical) {
      const uint32_t p = fsbmp::decodeLE32(inode + kInodeBlock + 4 * i);
      if (p != 0) map.push_back({logical, p, 1});
    }
    for (int level = 1; level <= 3 && err.code >= 0; ++level) {
      const uint32_t p = fsbmp::decodeLE32(inode + kInodeBlock + 4 * (kDirectPointers + level - 1));
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

CVoError FsParserExt2::replayLog(const JxCodeLocation& where, const JournalSource& source) {
  const char* path = devPath.c_str();
  Context cx{where, path, blockSize, static_cast<uint64_t>(blockCount),
             [this](uint64_t block, unsigned char* buf) {
               return readBlocks(buf, blockSize, static_cast<long long>(block), 1);
             }};
  static const char kTag[] = "FsParserExt2::init";
  const auto& readJournal = source.read;
  std::vector<unsigned char> block(static_cast<size_t>(blockSize));

  // The journal superblock.
  std::vector<unsigned char> jsb(static_cast<size_t>(blockSize));
  CVoError err = readJournal(source.superblock, jsb.data());
  if (err.code < 0)
    return err.Push(FSBMP_AT(where), "Couldn't read the journal superblock of %s", path);
  const uint32_t type = decodeBE32(jsb.data() + 4);
  if (decodeBE32(jsb.data()) != kJournalMagic || (type != kSuperblockV1 && type != kSuperblockV2))
    return cx.corrupt("the journal superblock has no JBD2 magic");
  const uint32_t incompat = type == kSuperblockV2 ? decodeBE32(jsb.data() + kJsbIncompat) : 0;
  if (incompat & ~kJIncompatKnown) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "Journal of %s has unknown incompatible features 0x%08x", path,
                                   incompat & ~kJIncompatKnown);
  }
  const bool csumV2 = (incompat & kJIncompatCsumV2) != 0;
  const bool csumV3 = (incompat & kJIncompatCsumV3) != 0;
  const bool wide = (incompat & kJIncompat64bit) != 0;
  uint32_t seed = 0;
  if (csumV2 || csumV3) {
    const uint32_t stored = decodeBE32(jsb.data() + kJsbChecksum);
    std::vector<unsigned char> head(jsb.begin(), jsb.begin() + kJsbSize);
    const uint32_t computed = blockCsum(0xFFFFFFFF, head, kJsbChecksum);
    if (computed != stored && kChecksumsRefuse) {
      return JxErrorUtil::ErrorErrNo(
          FSBMP_AT(where), ENOSYS,
          "Journal superblock of %s fails its checksum (stored 0x%08x, computed 0x%08x)", path,
          stored, computed);
    }
    seed = crc32cOf(0xFFFFFFFF, jsb.data() + kJsbUuid, 16);
  }
  const uint32_t jBlockSize = decodeBE32(jsb.data() + kJsbBlockSize);
  const uint32_t maxLen = decodeBE32(jsb.data() + kJsbMaxLen);
  const uint32_t first = decodeBE32(jsb.data() + kJsbFirst);
  uint32_t sequence = decodeBE32(jsb.data() + kJsbSequence);
  const uint32_t start = decodeBE32(jsb.data() + kJsbStart);
  uint32_t fcBlocks = 0;
  if (incompat & kJIncompatFastCommit) {
    fcBlocks = decodeBE32(jsb.data() + kJsbNumFcBlocks);
    if (fcBlocks == 0) fcBlocks = kDefaultFcBlocks;
  }
  if (jBlockSize != static_cast<uint32_t>(blockSize) || first == 0 || maxLen <= fcBlocks ||
      first + 1 >= maxLen - fcBlocks || first <= source.superblock ||
      source.deviceBlock(maxLen - 1) == UINT64_MAX)
    return cx.corrupt("the journal superblock's geometry does not fit the journal inode");
  const uint32_t last = maxLen - fcBlocks;  // the log is journal blocks [first, last)
  if (start == 0) {
    debug.Debug(kTag, "   journal: needs_recovery set, but the journal is empty");
    return CVoError();
  }
  if (start < first || start >= last) return cx.corrupt("the log starts outside the journal");

  const size_t tagBytes = csumV3 ? 16 : (csumV2 ? 2 : 0) + (wide ? 12 : 8);
  const size_t tailBytes = (csumV2 || csumV3) ? 4 : 0;
  auto next = [&](uint64_t j) { return j + 1 >= last ? first : j + 1; };

  // Scan and revoke: the committed transactions' tags, and for each revoked block the newest
  // sequence that revoked it.
  std::vector<std::pair<uint32_t, std::vector<Tag>>> committed;
  std::vector<std::pair<uint64_t, uint32_t>> revokes;  // block, sequence that revoked it
  // The first transaction whose commit block fails its checksum: e2fsck ends the log before it,
  // recent kernels may go on. Both replays are mapped.
  bool badCommit = false;
  uint32_t firstBadCommit = 0;
  std::vector<Tag> pending;
  std::vector<unsigned char> data(static_cast<size_t>(blockSize));
  uint64_t j = start;
  ReplaySummary summary;
  summary.firstSequence = sequence;
  for (uint64_t scanned = 0; scanned < last - first;) {
    err = readJournal(j, block.data());
    if (err.code < 0)
      return err.Push(FSBMP_AT(where), "Couldn't read journal block %llu of %s",
                      static_cast<unsigned long long>(j), path);
    if (decodeBE32(block.data()) != kJournalMagic || decodeBE32(block.data() + 8) != sequence)
      break;  // the end of the log
    const uint32_t blockType = decodeBE32(block.data() + 4);
    if (blockType == kBlockDescriptor || blockType == kBlockRevoke) {
      if (tailBytes) {
        const size_t at = static_cast<size_t>(blockSize) - 4;
        const uint32_t stored = decodeBE32(block.data() + at);
        if (blockCsum(seed, block, at) != stored && kChecksumsRefuse) {
          char what[96];
          snprintf(what, sizeof what, "journal block %llu fails its checksum",
                   static_cast<unsigned long long>(j));
          return cx.corrupt(what);
        }
      }
    }
    if (blockType == kBlockDescriptor) {
      const size_t end = static_cast<size_t>(blockSize) - tailBytes;
      uint64_t dataBlock = j;
      for (size_t at = kHeaderSize; at + tagBytes <= end;) {
        const unsigned char* t = block.data() + at;
        uint64_t target = decodeBE32(t);
        uint32_t flags;
        uint32_t tagSum;
        if (csumV3) {
          flags = decodeBE32(t + 4);
          target |= static_cast<uint64_t>(decodeBE32(t + 8)) << 32;
          tagSum = decodeBE32(t + 12);
        } else {
          tagSum = decodeBE16(t + 4);
          flags = decodeBE16(t + 6);
          if (wide) target |= static_cast<uint64_t>(decodeBE32(t + 8)) << 32;
        }
        if (!wide) target &= 0xFFFFFFFFu;
        dataBlock = next(dataBlock);
        ++scanned;
        if (csumV2 || csumV3) {
          err = readJournal(dataBlock, data.data());
          if (err.code < 0) return err;
          unsigned char seqBE[4];
          encodeBE32(seqBE, sequence);
          uint32_t sum = crc32cOf(crc32cOf(seed, seqBE, 4), data.data(), data.size());
          if (!csumV3) sum &= 0xFFFF;
          if (sum != tagSum && kChecksumsRefuse) {
            return JxErrorUtil::ErrorErrNo(
                FSBMP_AT(where), ENOSYS,
                "Journal of %s: the copy of block %llu in transaction %u fails its checksum "
                "(stored 0x%08x, computed 0x%08x)",
                path, static_cast<unsigned long long>(target), sequence, tagSum, sum);
          }
        }
        if (target >= cx.blockCount) return cx.corrupt("a journal tag names a block past the end");
        pending.push_back({target, dataBlock, (flags & kTagEscape) != 0});
        at += tagBytes + ((flags & kTagSameUuid) ? 0 : 16);
        if (flags & kTagLast) break;
      }
      j = dataBlock;
    } else if (blockType == kBlockRevoke) {
      const uint32_t count = decodeBE32(block.data() + kRevokeCount);
      const size_t entry = wide ? 8 : 4;
      if (count < kRevokeHeader || count > static_cast<uint32_t>(blockSize) - tailBytes)
        return cx.corrupt("a revoke block's count does not fit it");
      for (size_t at = kRevokeHeader; at + entry <= count; at += entry) {
        const uint64_t b = wide ? decodeBE64(block.data() + at) : decodeBE32(block.data() + at);
        revokes.emplace_back(b, sequence);
      }
    } else if (blockType == kBlockCommit) {
      if (csumV2 || csumV3) {
        const uint32_t stored = decodeBE32(block.data() + kCommitChecksum);
        const uint32_t computed = blockCsum(seed, block, kCommitChecksum);
        if (stored != computed && kChecksumsRefuse && !badCommit) {
          // e2fsck ends the log before this transaction, recent kernels may replay it and go
          // on: neither is known to be the one that will happen, so both are mapped.
          debug.Debug(kTag,
                      "   journal: the commit block of transaction %u fails its checksum (stored "
                      "0x%08x, computed 0x%08x): mapped both as ending the log before it and as "
                      "going on",
                      sequence, stored, computed);
          badCommit = true;
          firstBadCommit = sequence;
        }
      }
      committed.emplace_back(sequence, std::move(pending));
      pending.clear();
      ++sequence;
    } else {
      break;  // a block of no known type ends the log
    }
    j = next(j);
    ++scanned;
  }
  summary.endSequence = sequence;
  summary.endBlock = j;

  // Fast commits past the last full commit: mount rebuilds the inodes they name and the bitmaps
  // from those inodes, and logs no bitmap of theirs, so no overlay holds what they allocate.
  // Every range that an add-range record names, and every block of the extent trees (and of
  // the extents) of the inodes that inode records carry, counts as used instead.
  fastCommitExtents.clear();
  if (fcBlocks) {
    err = readJournal(last + 1, block.data());  // the area's first block, as the kernel places it
    if (err.code < 0) return err;
    if (fsbmp::decodeLE16(block.data()) == kFcTagHead &&
        fsbmp::decodeLE32(block.data() + 8) - sequence < 0x80000000u) {
      err = scanFastCommits(cx, readJournal, last + 1, maxLen, sequence, &fastCommitExtents);
      if (err.code < 0) return err;
      debug.Debug(kTag, "   journal: fast commits past transaction %u: %zu ranges counted used",
                  sequence - 1, fastCommitExtents.size());
    }
  }

  // Replay: the copies of the transactions before `end` (in scan order), each unless revoked
  // by the same or a later one of those.
  auto replay = [&](size_t end, uint32_t* revoked) {
    std::map<uint64_t, uint32_t> revokedAt;
    const uint32_t endSequence = end < committed.size() ? committed[end].first : sequence;
    for (const auto& r : revokes) {
      if (r.second - summary.firstSequence >= endSequence - summary.firstSequence) continue;
      const auto known = revokedAt.find(r.first);
      if (known == revokedAt.end())
        revokedAt.emplace(r.first, r.second);
      else if (r.second - summary.firstSequence >= known->second - summary.firstSequence)
        known->second = r.second;
    }
    std::map<uint64_t, BlockOverlay::Copy> copies;
    for (size_t i = 0; i < end; ++i) {
      const auto& t = committed[i];
      for (const Tag& tag : t.second) {
        const auto r = revokedAt.find(tag.target);
        if (r != revokedAt.end() &&
            r->second - summary.firstSequence >= t.first - summary.firstSequence) {
          ++*revoked;
          continue;
        }
        copies[tag.target] = {source.deviceBlock(tag.journal), tag.escaped};
      }
    }
    return copies;
  };
  std::map<uint64_t, BlockOverlay::Copy> copies = replay(committed.size(), &summary.revoked);
  if (badCommit) {
    uint32_t ignored = 0;
    size_t before = 0;
    while (before < committed.size() && committed[before].first != firstBadCommit) ++before;
    std::map<uint64_t, BlockOverlay::Copy> shorter = replay(before, &ignored);
    if (!shorter.empty())
      alsoReplayed =
          std::make_shared<BlockOverlay>(onDisk, blockSize, std::move(shorter), source.copiesFrom);
    else
      alsoReplayed = onDisk;
  }
  summary.transactions = static_cast<uint32_t>(committed.size());
  summary.blocks = static_cast<uint32_t>(copies.size());
  debug.Debug(kTag,
              "   journal: replayed %u transactions (%u to %u), %u blocks, %u revoked copies; the "
              "log ends at journal block %llu",
              summary.transactions, summary.firstSequence, summary.endSequence - 1, summary.blocks,
              summary.revoked, static_cast<unsigned long long>(summary.endBlock));
  replayedTransactions = summary.transactions;
  replayedBlocks = summary.blocks;
  if (!copies.empty())
    view = std::make_shared<BlockOverlay>(onDisk, blockSize, std::move(copies), source.copiesFrom);
  return CVoError();
}

CVoError FsParserExt2::setJournalDevice(const std::string& path) {
  static const unsigned char kNil[16] = {};
  if (journalInode != 0 || memcmp(journalUuid, kNil, sizeof kNil) == 0) {
    return JxErrorUtil::ErrorErrNo(HERE, EINVAL, "%s keeps no journal on another device",
                                   devPath.c_str());
  }
  std::unique_ptr<CVoFile> file(new CVoFile());
  CVoError err = file->Open(path.c_str(), kDeviceOpenFlags, kDeviceOpenMode);
  if (err.code < 0) return err.Push(HERE, "Couldn't open %s for reading", path.c_str());
  journalFile = std::move(file);
  journalView = std::make_shared<FileView>(journalFile.get());
  if (!needsRecovery) return CVoError();
  err = replayExternal(HERE, path);
  if (err.code < 0) {
    replayError = err;
    return err;
  }
  replayError = CVoError();
  return CVoError();
}

CVoError FsParserExt2::replayExternal(const JxCodeLocation& where, const std::string& path) {
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
                                   path.c_str(), devPath.c_str());
  }
  if (logBlock > kMaxLogBlockSize || (1024u << logBlock) != static_cast<uint32_t>(blockSize)) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "Journal device %s has blocks of another size than %s",
                                   path.c_str(), devPath.c_str());
  }
  int64_t bytes = 0;
  err = journalView->length(&bytes);
  if (err.code < 0) return err.Push(FSBMP_AT(where), "Couldn't measure %s", path.c_str());
  const uint64_t deviceBlocks = static_cast<uint64_t>(bytes) / static_cast<uint64_t>(blockSize);
  JournalSource source;
  source.superblock = blockSize == 1024 ? 2 : 1;
  source.copiesFrom = journalView;
  source.deviceBlock = [deviceBlocks](uint64_t j) { return j < deviceBlocks ? j : UINT64_MAX; };
  std::shared_ptr<DeviceView> device = journalView;
  const int size = blockSize;
  source.read = [device, size](uint64_t j, unsigned char* buf) {
    return readViewBlocks(HERE, device.get(), buf, size, static_cast<long long>(j), 1);
  };
  // The journal superblock names the same UUID.
  std::vector<unsigned char> jsb(static_cast<size_t>(blockSize));
  err = source.read(source.superblock, jsb.data());
  if (err.code < 0) return err;
  if (memcmp(jsb.data() + kJsbUuid, journalUuid, sizeof journalUuid) != 0) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "%s is the journal of another file system, not of %s",
                                   path.c_str(), devPath.c_str());
  }
  return replayLog(where, source);
}
