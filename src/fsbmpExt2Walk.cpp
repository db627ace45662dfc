// ext2, ext3 and ext4: the chunk bitmap from the groups' block bitmaps, by a bit walk that
// works for every geometry or by a whole-byte walk when a chunk spans whole bitmap bytes.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "chunks.h"
#include "fsbmp/fsbmpExt2.h"
#include "fsbmpExt2Layout.h"

static const char kFile[] = "fsbmpExt2";
#define HERE JX_LOCATION(kFile)

using namespace fsbmp::ext2;

namespace {

// True when any byte of the `unitBytes` bytes at p is non-zero; unitBytes is a power of two.
// Wider units are tested a 64-bit word at a time, stopping at the first non-zero word.
bool unitInUse(const unsigned char* p, uint32_t unitBytes) {
  switch (unitBytes) {
    case 1:
      return p[0] != 0;
    case 2: {
      uint16_t w;
      memcpy(&w, p, sizeof w);
      return w != 0;
    }
    case 4: {
      uint32_t w;
      memcpy(&w, p, sizeof w);
      return w != 0;
    }
    default:
      for (uint32_t i = 0; i < unitBytes; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, sizeof w);
        if (w != 0) return true;
      }
      return false;
  }
}

}  // namespace

bool FsParserExt2::skipsBitmap(const ext4_group_desc_64& desc) const {
  return blockUninitHonoured && (desc.bg_flags & kBgBlockUninit) != 0;
}

CVoError FsParserExt2::getBmp(int chunkSize, void** bmp, long long* bmpSize) {
  *bmp = nullptr;
  *bmpSize = 0;
  CVoError err = fsbmp::checkChunkSize(HERE, chunkSize, blockSize);
  if (err.code < 0) return err;

  const uint32_t blocksPerChunk = static_cast<uint32_t>(chunkSize / blockSize);
  const uint32_t chunkShift = static_cast<uint32_t>(log2(blocksPerChunk));
  const uint64_t chunks = fsbmp::chunkCount(blockCount, blocksPerChunk, devSize, chunkSize);
  err = fsbmp::checkChunkCount32(HERE, chunks, chunkSize);
  if (err.code < 0) return err;
  const uint32_t nChunks = static_cast<uint32_t>(chunks);

  std::vector<ext4_group_desc_64> gdt;
  err = gatherGDT(HERE, &gdt);
  if (err.code < 0) return err;

  // The whole-byte walk converts every bit of every group, past the last block too: the bitmap
  // has room for the chunks all groups span as well as for nChunks.
  const uint64_t spanBlocks = static_cast<uint64_t>(groupDescCount) * blocksPerGroup;
  const uint64_t spanBytes = ((spanBlocks - 1) >> chunkShift) / 8 + 1;
  const uint64_t chunkBytes = (static_cast<uint64_t>(nChunks) + 7) / 8;
  const size_t bytes = static_cast<size_t>(spanBytes > chunkBytes ? spanBytes : chunkBytes);

  FsParserAutoChunkBmp holder;
  err = holder.init(bytes);
  if (err.code < 0)
    return err.Push(HERE, "Couldn't allocate %d-byte bitmap", static_cast<int>(bytes));

  // The blocks up to the first data block lie in no group's bitmap.
  markBlocks(holder.bitmap, 0, static_cast<uint64_t>(firstDataBlock) + 1, chunkShift);

  if (walkChoice == kChooseWalk && firstDataBlock == 0 && chunkShift >= clusterBits + 3) {
    err = byteWalk(HERE, gdt, holder.bitmap, 1u << (chunkShift - clusterBits - 3));
  } else {
    err = bitWalk(HERE, gdt, holder.bitmap, chunkShift);
  }
  if (err.code < 0) return err;
  if (blockUninitHonoured) markUninitMetadata(gdt, holder.bitmap, chunkShift);

  *bmpSize = nChunks;
  *bmp = holder.release();
  return CVoError();
}

CVoError FsParserExt2::readGroupBitmap(const JxCodeLocation& where, uint32_t group,
                                       const ext4_group_desc_64& desc, unsigned char* into) {
  const uint64_t at = desc.blockBitmap();
  CVoError err;
  if (at > static_cast<uint64_t>(INT64_MAX / blockSize)) {
    err = JxErrorUtil::ErrorErrNo(
        FSBMP_EXT2_AT(where), ENOSYS, "Block bitmap of BG %d of %s is at impossible block %llu",
        static_cast<int>(group), devPath.c_str(), static_cast<unsigned long long>(at));
  } else {
    err = readBlocks(into, blockSize, static_cast<long long>(at), 1);
  }
  if (err.code < 0)
    return err.Push(FSBMP_EXT2_AT(where), "Couldn't read allocation bitmap for BG %d",
                    static_cast<int>(group));

  uint32_t used = 0;
  for (int k = 0; k < blockSize; ++k) used += onesInByte[into[k]];
  const uint32_t freeBits = 8u * static_cast<uint32_t>(blockSize) - used;
  if (freeBits != desc.freeBlocks()) {
    return JxErrorUtil::ErrorErrNo(
        FSBMP_EXT2_AT(where), ENOSYS,
        "Number of free blocks (%d) in block group %d is inconsistent with the bitmap (%d).",
        static_cast<int>(desc.freeBlocks()), static_cast<int>(group), static_cast<int>(freeBits));
  }
  return CVoError();
}

// Every geometry: bit j of group g stands for the cluster (or block) that starts at block
// first + j * 2^clusterBits; once a chunk is marked the walk goes on at the next chunk.
CVoError FsParserExt2::bitWalk(const JxCodeLocation& where,
                               const std::vector<ext4_group_desc_64>& gdt, unsigned char* bitmap,
                               uint32_t chunkShift) {
  MbBuffer staging(blockSize);
  const uint64_t total = static_cast<uint64_t>(blockCount);
  for (uint32_t g = 0; g < groupDescCount; ++g) {
    if (skipsBitmap(gdt[g])) continue;
    CVoError err = readGroupBitmap(where, g, gdt[g], staging.data);
    if (err.code < 0) return err;

    const uint64_t first = firstDataBlock + static_cast<uint64_t>(g) * blocksPerGroup;
    const uint64_t end = first + blocksPerGroup < total ? first + blocksPerGroup : total;
    uint64_t b = first;
    while (b < end) {
      const uint64_t j = (b - first) >> clusterBits;
      if (staging.data[j >> 3] & (1u << (j & 7))) {
        const uint64_t c = b >> chunkShift;
        fsbmp::markChunk(bitmap, c);
        b = (c + 1) << chunkShift;
      } else if ((j & 7) == 0 && staging.data[j >> 3] == 0) {
        b = first + ((j + 8) << clusterBits);  // a whole free byte
      } else {
        b = first + ((j + 1) << clusterBits);
      }
    }
  }
  return CVoError();
}

// First data block 0 and chunks of at least eight bitmap bits: the groups' bitmaps, each cut to
// its group's bytes, laid end to end form one bit per cluster from block 0, so chunk c is the
// unit of `unitBytes` bytes at byte c * unitBytes. They are staged and converted in batches.
CVoError FsParserExt2::byteWalk(const JxCodeLocation& where,
                                const std::vector<ext4_group_desc_64>& gdt, unsigned char* bitmap,
                                uint32_t unitBytes) {
  const uint32_t groupBytes = bitsPerGroup / 8;
  const uint32_t least = unitBytes + static_cast<uint32_t>(blockSize);
  const uint32_t size =
      stagingBytes == 0 ? 2 * least : (stagingBytes < least ? least : stagingBytes);
  MbBuffer staging(static_cast<int32_t>(size));

  uint32_t fill = 0;  // bytes staged
  uint64_t c = 0;     // chunk of the unit at the staging buffer's start
  uint32_t g = 0;
  while (g < groupDescCount) {
    while (g < groupDescCount && fill + static_cast<uint32_t>(blockSize) <= size) {
      if (skipsBitmap(gdt[g])) {
        memset(staging.data + fill, 0, groupBytes);
      } else {
        CVoError err = readGroupBitmap(where, g, gdt[g], staging.data + fill);
        if (err.code < 0) return err;
      }
      fill += groupBytes;
      ++g;
    }
    const uint32_t units = fill / unitBytes;
    for (uint32_t u = 0; u < units; ++u, ++c)
      if (unitInUse(staging.data + u * unitBytes, unitBytes)) fsbmp::markChunk(bitmap, c);
    const uint32_t left = fill - units * unitBytes;
    memmove(staging.data, staging.data + units * unitBytes, left);
    fill = left;
  }
  for (uint32_t k = 0; k < fill; ++k) {
    if (staging.data[k] != 0) {
      fsbmp::markChunk(bitmap, c);
      break;
    }
  }
  return CVoError();
}
