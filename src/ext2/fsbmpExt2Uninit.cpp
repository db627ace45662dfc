// ext2, ext3 and ext4: groups whose block bitmap was never initialised (BLOCK_UNINIT). Such a
// group still holds what the file system counts as used: its superblock backup, its descriptor
// blocks and, wherever they lie, its bitmaps and inode table. The flag is believed only while
// the descriptor agrees with it.
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/chunks.h"
#include "ext2/fsbmpExt2Impl.h"
#include "ext2/fsbmpExt2Layout.h"
#include "fsbmp/fsbmpExt2.h"

using namespace fsbmp::ext2;

namespace {

// A stretch of blocks [first, end) that lies in `group`.
struct Piece {
  uint32_t group;
  uint64_t first;
  uint64_t end;
};

}  // namespace

void FsParserExt2::Impl::markBlocks(unsigned char* bitmap, uint64_t first, uint64_t count,
                                    uint32_t chunkShift) const {
  const uint64_t total = static_cast<uint64_t>(fs.blockCount);
  if (count == 0 || first >= total) return;
  uint64_t end = count < total - first ? first + count : total;
  // A used block makes its whole cluster used.
  first = first >> fs.clusterBits << fs.clusterBits;
  end = ((end - 1) >> fs.clusterBits) + 1;
  end = end > (total >> fs.clusterBits) ? total : end << fs.clusterBits;
  fsbmp::setChunkRange(bitmap, first >> chunkShift, ((end - 1) >> chunkShift) + 1);
}

uint64_t FsParserExt2::Impl::superAndDescBlocks(uint32_t g) const {
  const bool hasSuper = fs.bgHasSuper(g);
  if (!fs.metaBg || g / fs.descsPerBlock < fs.firstMetaBg) {
    // The old layout: a copy of the table behind each superblock, with the blocks kept for
    // growing it (none under meta_bg).
    const uint64_t tableBlocks =
        fs.metaBg ? fs.firstMetaBg : static_cast<uint64_t>(fs.descBlocks) + fs.reservedGdtBlocks;
    return hasSuper ? 1 + tableBlocks : 0;
  }
  // A meta group keeps its descriptor block in its first, second and last group.
  const uint32_t slot = g % fs.descsPerBlock;
  const bool holdsDesc = slot == 0 || slot == 1 || slot == fs.descsPerBlock - 1;
  return (hasSuper ? 1 : 0) + (holdsDesc ? 1 : 0);
}

void FsParserExt2::Impl::markUninitMetadata(const std::vector<ext4_group_desc_64>& gdt,
                                            unsigned char* bitmap, uint32_t chunkShift) const {
  for (uint32_t g = 0; g < fs.groupDescCount; ++g) {
    const ext4_group_desc_64& desc = gdt[g];
    if ((desc.bg_flags & kBgBlockUninit) == 0) continue;
    markBlocks(bitmap, groupMetaStart(g), superAndDescBlocks(g), chunkShift);
    if (desc.inodeTable() != 0)
      markBlocks(bitmap, desc.inodeTable(), fs.inodeTableBlocks, chunkShift);
    if (desc.blockBitmap() != 0) markBlocks(bitmap, desc.blockBitmap(), 1, chunkShift);
    if (desc.inodeBitmap() != 0) markBlocks(bitmap, desc.inodeBitmap(), 1, chunkShift);
  }
}

// The kernel and e2fsprogs both clear BLOCK_UNINIT when they allocate a group's first block, and
// both count an uninitialised group's free clusters as its clusters less those that its
// superblock copy, its descriptor blocks and any group's bitmaps and inode table take. A flagged
// group whose free count says otherwise has had blocks allocated: the flag is dropped from the
// walk's copy of the table, and the group's bitmap is read and checked against its free count as
// every other group's is. Inodes in use say nothing here: mke2fs -d leaves flagged groups full of
// inodes whose blocks lie in the first group of their flex group.
void FsParserExt2::Impl::distrustContradictedUninit(std::vector<ext4_group_desc_64>* gdt) {
  static const char kTag[] = "FsParserExt2::walkBitmap";
  std::vector<ext4_group_desc_64>& table = *gdt;
  const uint64_t total = static_cast<uint64_t>(fs.blockCount);
  const auto uninit = [&](uint32_t g) { return (table[g].bg_flags & kBgBlockUninit) != 0; };
  if (std::none_of(table.begin(), table.begin() + fs.groupDescCount,
                   [](const ext4_group_desc_64& d) { return (d.bg_flags & kBgBlockUninit) != 0; }))
    return;

  // The groups' bitmaps and inode tables, cut into the pieces that lie in flagged groups.
  std::vector<Piece> pieces;
  const auto addPieces = [&](uint64_t first, uint64_t count) {
    if (first == 0 || first < fs.firstDataBlock || first >= total || count == 0) return;
    const uint64_t end = count < total - first ? first + count : total;
    for (uint64_t at = first; at < end;) {
      const uint64_t h = (at - fs.firstDataBlock) / fs.blocksPerGroup;
      const uint64_t groupEnd = fs.firstDataBlock + (h + 1) * fs.blocksPerGroup;
      const uint64_t to = groupEnd < end ? groupEnd : end;
      if (h < fs.groupDescCount && uninit(static_cast<uint32_t>(h)))
        pieces.push_back({static_cast<uint32_t>(h), at, to});
      at = to;
    }
  };
  for (uint32_t g = 0; g < fs.groupDescCount; ++g) {
    addPieces(table[g].blockBitmap(), 1);
    addPieces(table[g].inodeBitmap(), 1);
    addPieces(table[g].inodeTable(), fs.inodeTableBlocks);
  }
  // Without flex_bg each group's own metadata comes in group order already.
  const auto byGroup = [](const Piece& a, const Piece& b) { return a.group < b.group; };
  if (!std::is_sorted(pieces.begin(), pieces.end(), byGroup))
    std::stable_sort(pieces.begin(), pieces.end(), byGroup);

  std::vector<std::pair<uint64_t, uint64_t>> clusters;  // [first, end), from the group's start
  size_t next = 0;
  for (uint32_t g = 0; g < fs.groupDescCount; ++g) {
    if (!uninit(g)) continue;
    const uint64_t start = fs.firstDataBlock + static_cast<uint64_t>(g) * fs.blocksPerGroup;
    if (start >= total) continue;
    const uint64_t blocks = total - start < fs.blocksPerGroup ? total - start : fs.blocksPerGroup;
    const uint64_t groupClusters = ((blocks - 1) >> fs.clusterBits) + 1;

    clusters.clear();
    const auto add = [&](uint64_t first, uint64_t end) {
      if (end > first)
        clusters.emplace_back((first - start) >> fs.clusterBits,
                              ((end - 1 - start) >> fs.clusterBits) + 1);
    };
    const uint64_t meta = groupMetaStart(g);
    const uint64_t metaBlocks = superAndDescBlocks(g);
    const uint64_t groupEnd = start + blocks;
    if (metaBlocks > 0 && meta < groupEnd)
      add(meta, metaBlocks < groupEnd - meta ? meta + metaBlocks : groupEnd);
    while (next < pieces.size() && pieces[next].group < g) ++next;
    for (; next < pieces.size() && pieces[next].group == g; ++next)
      add(pieces[next].first, pieces[next].end);
    std::sort(clusters.begin(), clusters.end());
    uint64_t overhead = 0, reached = 0;
    for (const auto& r : clusters) {
      const uint64_t from = r.first > reached ? r.first : reached;
      if (r.second > from) overhead += r.second - from;
      if (r.second > reached) reached = r.second;
    }
    const uint64_t expected = overhead < groupClusters ? groupClusters - overhead : 0;

    const ext4_group_desc_64& d = table[g];
    if (d.freeBlocks() == expected) continue;
    fs.debug.DebugLvl(
        kTag, 1,
        "Block group %u of %s is marked BLOCK_UNINIT but counts %u free clusters where "
        "an uninitialised group has %llu: its bitmap is read",
        g, fs.devPath.c_str(), d.freeBlocks(), static_cast<unsigned long long>(expected));
    table[g].bg_flags = static_cast<uint16_t>(table[g].bg_flags & ~kBgBlockUninit);
  }
}
