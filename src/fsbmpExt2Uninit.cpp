// ext2, ext3 and ext4: the metadata of groups whose block bitmap was never initialised
// (BLOCK_UNINIT). Such a group still holds what the file system counts as used: its superblock
// backup, its descriptor blocks and, wherever they lie, its bitmaps and inode table.
#include <cstdint>
#include <vector>

#include "chunks.h"
#include "fsbmp/fsbmpExt2.h"
#include "fsbmpExt2Layout.h"

using namespace fsbmp::ext2;

void FsParserExt2::markBlocks(unsigned char* bitmap, uint64_t first, uint64_t count,
                              uint32_t chunkShift) const {
  const uint64_t total = static_cast<uint64_t>(blockCount);
  if (count == 0 || first >= total) return;
  uint64_t end = count < total - first ? first + count : total;
  // A used block makes its whole cluster used.
  first = first >> clusterBits << clusterBits;
  end = ((end - 1) >> clusterBits) + 1;
  end = end > (total >> clusterBits) ? total : end << clusterBits;
  fsbmp::setChunkRange(bitmap, first >> chunkShift, ((end - 1) >> chunkShift) + 1);
}

void FsParserExt2::markUninitMetadata(const std::vector<ext4_group_desc_64>& gdt,
                                      unsigned char* bitmap, uint32_t chunkShift) const {
  for (uint32_t g = 0; g < groupDescCount; ++g) {
    const ext4_group_desc_64& desc = gdt[g];
    if ((desc.bg_flags & kBgBlockUninit) == 0) continue;

    const uint64_t start = groupMetaStart(g);
    const bool hasSuper = bgHasSuper(g);
    if (hasSuper) markBlocks(bitmap, start, 1, chunkShift);
    if (!metaBg || g / descsPerBlock < firstMetaBg) {
      // The old layout: a copy of the table behind each superblock, with the blocks kept for
      // growing it (none under meta_bg).
      const uint64_t tableBlocks =
          metaBg ? firstMetaBg : static_cast<uint64_t>(descBlocks) + reservedGdtBlocks;
      if (hasSuper) markBlocks(bitmap, start + 1, tableBlocks, chunkShift);
    } else {
      // A meta group keeps its descriptor block in its first, second and last group.
      const uint32_t slot = g % descsPerBlock;
      if (slot == 0 || slot == 1 || slot == descsPerBlock - 1)
        markBlocks(bitmap, start + (hasSuper ? 1 : 0), 1, chunkShift);
    }
    if (desc.inodeTable() != 0) markBlocks(bitmap, desc.inodeTable(), inodeTableBlocks, chunkShift);
    if (desc.blockBitmap() != 0) markBlocks(bitmap, desc.blockBitmap(), 1, chunkShift);
    if (desc.inodeBitmap() != 0) markBlocks(bitmap, desc.inodeBitmap(), 1, chunkShift);
  }
}
