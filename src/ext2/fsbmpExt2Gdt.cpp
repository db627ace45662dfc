// ext2, ext3 and ext4: reading the group descriptor table, whether it lies behind the superblock
// or is spread over the meta groups (meta_bg).
#include <cerrno>
#include <cstdint>
#include <vector>

#include "ext2/fsbmpExt2Impl.h"
#include "ext2/fsbmpExt2Layout.h"
#include "fsbmp/fsbmpExt2.h"

static const char kFile[] = "fsbmpExt2";
#define HERE JX_LOCATION(kFile)

using namespace fsbmp::ext2;

namespace {
// Bytes of the descriptor table read in one request at most.
const int kGdtReadBytes = 64 * 1024;
}  // namespace

uint64_t FsParserExt2::Impl::groupMetaStart(uint32_t g) const {
  const uint64_t first = fs.firstDataBlock + static_cast<uint64_t>(g) * fs.blocksPerGroup;
  return first == 0 && fs.blockSize == kSuperblockSize ? 1 : first;
}

CVoError FsParserExt2::readGDT(uint64_t first, int count, std::vector<ext4_group_desc_64>* gdt,
                               uint32_t firstGroup) {
  static const char kTag[] = "FsParserExt2::readGDT";
  debug.DebugLvl(kTag, 3, "Reading %d-block GDT from %lu of %s", count, first, devPath.c_str());
  gdt->clear();
  if (count <= 0) return CVoError();
  gdt->reserve(static_cast<size_t>(count) * descsPerBlock);

  const bool wide = groupDescSize >= kDescSize64;
  const bool logged = debug.enabled();
  // The table's blocks are consecutive: read as many as fit in 64 KiB at once.
  const int perRead = blockSize < kGdtReadBytes ? kGdtReadBytes / blockSize : 1;
  MbBuffer scratch(blockSize * perRead);
  for (int i = 0; i < count;) {
    const int n = count - i < perRead ? count - i : perRead;
    CVoError err = readBlocks(scratch.data, blockSize, static_cast<long long>(first + i), n);
    // A failed read is retried one block at a time, so that the error names the block.
    if (err.code < 0) {
      for (int k = 0; k < n; ++k) {
        const uint64_t block = first + static_cast<uint64_t>(i + k);
        err = readBlocks(scratch.data + k * blockSize, blockSize, static_cast<long long>(block), 1);
        if (err.code < 0)
          return err.Push(HERE, "Failed to read block %lu of %s", block, devPath.c_str());
      }
    }
    for (uint32_t slot = 0; slot < descsPerBlock * static_cast<uint32_t>(n); ++slot) {
      const unsigned char* raw = scratch.data + slot * groupDescSize;
      const uint32_t group = firstGroup + static_cast<uint32_t>(gdt->size());
      // Slots past the last group fill out the table's last block and carry nothing.
      if (group < groupDescCount) {
        err = impl_->verifyDescCsum(HERE, group, raw);
        if (err.code < 0) return err;
      }
      const ext4_group_desc_64 d = decodeGroupDesc(raw, wide);
      if (logged) {
        debug.DebugLvl(kTag, 3, "  Group %d:", static_cast<int>(group));
        debug.DebugLvl(kTag, 3, "    Block bitmap at %lu", d.blockBitmap());
        debug.DebugLvl(kTag, 3, "    Inode bitmap at %lu", d.inodeBitmap());
        debug.DebugLvl(kTag, 3, "    Free blocks: %u", d.freeBlocks());
        debug.DebugLvl(kTag, 3, "    Free inodes: %u", d.freeInodes());
      }
      gdt->push_back(d);
    }
    i += n;
  }
  return CVoError();
}

CVoError FsParserExt2::Impl::gatherGDT(const JxCodeLocation& where,
                                       std::vector<ext4_group_desc_64>* gdt) {
  const char* path = fs.devPath.c_str();
  gdt->clear();
  // Every descriptor block lies on the device; a table larger than the device is corrupt, and
  // refusing it here keeps a hostile group count from sizing the table.
  if (static_cast<uint64_t>(fs.descBlocks) * static_cast<uint64_t>(fs.blockSize) >
      static_cast<uint64_t>(fs.devSize)) {
    return JxErrorUtil::ErrorErrNo(
        FSBMP_AT(where), ENOSYS,
        "Group descriptor table of %s (%u blocks of %d bytes) is larger than the device", path,
        fs.descBlocks, fs.blockSize);
  }

  if (fs.firstMetaBg != 0) {
    CVoError err = fs.readGDT(groupMetaStart(0) + 1, static_cast<int>(fs.firstMetaBg), gdt, 0);
    if (err.code < 0)
      return err.Push(FSBMP_AT(where), "Failed to read pre-META_BG Group Descriptor Table of %s",
                      path);
  }
  gdt->reserve(static_cast<size_t>(fs.descBlocks) * fs.descsPerBlock);
  std::vector<ext4_group_desc_64> metaGroup;
  for (uint32_t i = fs.firstMetaBg; i < fs.descBlocks; ++i) {
    const uint32_t g = i * fs.descsPerBlock;
    const uint64_t block = groupMetaStart(g) + (fs.bgHasSuper(g) ? 1 : 0);
    CVoError err = fs.readGDT(block, 1, &metaGroup, g);
    if (err.code < 0) {
      return err.Push(FSBMP_AT(where), "Failed to GDT of meta group %d from %s",
                      static_cast<int>(i - fs.firstMetaBg), path);
    }
    gdt->insert(gdt->end(), metaGroup.begin(), metaGroup.end());
  }

  if (gdt->size() < fs.groupDescCount) {
    return JxErrorUtil::ErrorInt(FSBMP_AT(where), 1,
                                 "Didn't read the expected number of GDs from %s", path);
  }
  gdt->resize(fs.groupDescCount);
  return CVoError();
}
