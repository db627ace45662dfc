// ext2, ext3 and ext4: the chunk bitmap from the groups' block bitmaps, by a bit walk that
// works for every geometry or by a whole-byte walk when a chunk spans whole bitmap bytes.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "core/chunks.h"
#include "core/coding.h"
#include "core/read_ahead.h"
#include "ext2/fsbmpExt2Impl.h"
#include "ext2/fsbmpExt2Layout.h"
#include "ext2/fsbmpExt2Tuning.h"
#include "fsbmp/fsbmpExt2.h"

static const char kFile[] = "fsbmpExt2";
#define HERE JX_LOCATION(kFile)

using namespace fsbmp::ext2;

namespace {

// Bytes of bitmap blocks read in one request at most (flex_bg keeps 16 groups' bitmaps side by
// side by default); also the size of the bit walk's staging buffer.
const uint32_t kBatchBytes = 64 * 1024;
// Groups whose bitmaps are hinted to the kernel ahead of the one being read. On a cold cache the
// hinted reads are in flight together (a disk serves several requests faster than one after the
// other); on a warm one each hint is a page-cache look-up.
const uint32_t kAheadGroups = 512;

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

// The units of one, two or four bytes among the 8 bytes at p that hold a non-zero byte, as bits:
// bit k for the unit at p + k * unitBytes.
uint32_t usedUnitsOfWord(const unsigned char* p, uint32_t unitBytes) {
  const uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
  const uint64_t w = fsbmp::decodeLE64(p);  // byte k in bits 8k to 8k + 7
  // Bit 8k + 7 set when byte k is non-zero, then those eight bits gathered into bits 0 to 7.
  const uint64_t nonZero = (((w & low7) + low7) | w) & ~low7;
  uint32_t bytes = static_cast<uint32_t>(((nonZero >> 7) * 0x0102040810204080ull) >> 56);
  if (unitBytes == 1) return bytes;
  if (unitBytes == 2) {
    bytes = (bytes | (bytes >> 1)) & 0x55;
    bytes = (bytes | (bytes >> 1)) & 0x33;
    return (bytes | (bytes >> 2)) & 0x0F;
  }
  bytes = (bytes | (bytes >> 1) | (bytes >> 2) | (bytes >> 3)) & 0x11;
  return (bytes | (bytes >> 3)) & 0x03;
}

// Marks the chunks of the 8 bytes at p, units of 1, 2 or 4 bytes, chunk `at` for the first:
// 8 / unitBytes chunk bits, which may straddle two bitmap bytes.
inline void markWord(unsigned char* bitmap, const unsigned char* p, uint64_t at,
                     uint32_t unitBytes) {
  uint64_t w;
  memcpy(&w, p, sizeof w);  // only compared with all zeros and all ones
  if (w == 0) return;
  const uint32_t perWord = 8 / unitBytes;
  const uint32_t used = w == ~0ull ? (1u << perWord) - 1 : usedUnitsOfWord(p, unitBytes);
  const uint32_t shifted = used << (at & 7);
  bitmap[at >> 3] |= static_cast<unsigned char>(shifted);
  if (shifted >> 8) bitmap[(at >> 3) + 1] |= static_cast<unsigned char>(shifted >> 8);
}

// Marks the chunks of one group's bitmap bytes (a multiple of 64), units of 1, 2 or 4 bytes from
// chunk c on, and returns the number of set bits, counted in the same pass. Free and full
// stretches are long: 64 bytes that are all zeros are skipped, a stretch of 64-byte blocks that are
// all ones sets its chunks as one run, and only mixed blocks are looked at word by word.
// Not inlined: in the walk's own large frame its counters lived on the stack.
__attribute__((noinline)) uint64_t markGroupUnits(const unsigned char* data, uint32_t bytes,
                                                  uint32_t unitBytes, uint64_t c,
                                                  unsigned char* bitmap) {
  const uint32_t perBlock = 64 / unitBytes;
  uint64_t used = 0;
  uint32_t at = 0;
  while (at < bytes) {
    const unsigned char* p = data + at;
    const fsbmp::BlockFill fill64 = fsbmp::blockFill(p);
    if (fill64 == fsbmp::BlockFill::kFull) {
      uint32_t run = 64;
      while (at + run < bytes && fsbmp::blockFill(p + run) == fsbmp::BlockFill::kFull) run += 64;
      fsbmp::setChunkRange(bitmap, c, c + run / unitBytes);
      used += 8ull * run;
      at += run;
      c += run / unitBytes;
      continue;
    }
    if (fill64 == fsbmp::BlockFill::kMixed) {
      used += fsbmp::countOnes(p, 64);
      for (uint32_t k = 0; k < 8; ++k)
        markWord(bitmap, p + 8 * k, c + k * (perBlock / 8), unitBytes);
    }
    at += 64;
    c += perBlock;
  }
  return used;
}

}  // namespace

fsbmp::ext2::WalkTuning& fsbmp::ext2::walkTuning() {
  thread_local WalkTuning tuning;
  return tuning;
}

uint32_t FsParserExt2::Impl::batchBlockCount() const {
  const uint32_t blocks = kBatchBytes / static_cast<uint32_t>(fs.blockSize);
  return blocks > 0 ? blocks : 1;
}

bool FsParserExt2::Impl::skipsBitmap(const ext4_group_desc_64& desc) const {
  return fs.blockUninitHonoured && (desc.bg_flags & kBgBlockUninit) != 0;
}

CVoError FsParserExt2::getBmp(int chunkSize, void** bmp, long long* bmpSize) {
  return buildBitmap(HERE, {/*resetOutputs=*/true, /*count32=*/true}, chunkSize, bmp, bmpSize);
}

uint64_t FsParserExt2::bitmapBytes(const ChunkLayout& layout) const {
  const uint64_t spanBlocks = static_cast<uint64_t>(groupDescCount) * blocksPerGroup;
  const uint64_t spanBytes = ((spanBlocks - 1) >> layout.chunkShift) / 8 + 1;
  const uint64_t chunkBytes = FsParser::bitmapBytes(layout);
  return spanBytes > chunkBytes ? spanBytes : chunkBytes;
}

CVoError FsParserExt2::walkBitmap(const JxCodeLocation& where, const ChunkLayout& layout,
                                  unsigned char* bitmap) {
  impl_->verifyRecorded = false;
  impl_->verifyReport = VerifyReport();
  // Blocks used before the journal's replay count as used too, and what fast commits allocate.
  CVoError err = walkReplayed(where, [&] { return impl_->walkMaps(where, layout, bitmap); });
  if (err.code < 0) return err;
  for (const auto& e : fastCommitExtents)
    impl_->markBlocks(bitmap, e.first, e.second, static_cast<uint32_t>(layout.chunkShift));
  if (impl_->verifyOn) impl_->verifyReport.ran = true;
  return CVoError();
}

CVoError FsParserExt2::Impl::walkMaps(const JxCodeLocation& where, const ChunkLayout& layout,
                                      unsigned char* bitmap) {
  const uint32_t chunkShift = static_cast<uint32_t>(layout.chunkShift);
  std::vector<ext4_group_desc_64> gdt;
  CVoError err = gatherGDT(where, &gdt);
  if (err.code < 0) return err;
  if (fs.blockUninitHonoured) distrustContradictedUninit(&gdt);

  // The blocks up to the first data block lie in no group's bitmap.
  markBlocks(bitmap, 0, static_cast<uint64_t>(fs.firstDataBlock) + 1, chunkShift);

  const std::function<CVoError()> walk = [&] {
    CVoError walked;
    if (!fsbmp::ext2::walkTuning().forceBitWalk && fs.firstDataBlock == 0 &&
        chunkShift >= fs.clusterBits + 3) {
      walked = byteWalk(where, gdt, bitmap, 1u << (chunkShift - fs.clusterBits - 3));
    } else {
      walked = bitWalk(where, gdt, bitmap, chunkShift);
    }
    if (walked.code >= 0 && fs.blockUninitHonoured) markUninitMetadata(gdt, bitmap, chunkShift);
    return walked;
  };
  // The files themselves, only adding to what the maps mark.
  return verifyOn ? verifyFiles(where, gdt, chunkShift, bitmap, walk) : walk();
}

CVoError FsParserExt2::Impl::readGroupBitmap(const JxCodeLocation& where, uint32_t group,
                                             const ext4_group_desc_64& desc, unsigned char* into,
                                             bool countFree) {
  const uint64_t at = desc.blockBitmap();
  CVoError err;
  if (at > static_cast<uint64_t>(INT64_MAX / fs.blockSize)) {
    err = JxErrorUtil::ErrorErrNo(
        FSBMP_AT(where), ENOSYS, "Block bitmap of BG %d of %s is at impossible block %llu",
        static_cast<int>(group), fs.devPath.c_str(), static_cast<unsigned long long>(at));
  } else {
    err = fs.readBlocks(into, fs.blockSize, static_cast<long long>(at), 1);
  }
  if (err.code < 0)
    return err.Push(FSBMP_AT(where), "Couldn't read allocation bitmap for BG %d",
                    static_cast<int>(group));

  return checkGroupBitmap(where, group, desc, into, countFree);
}

CVoError FsParserExt2::Impl::checkGroupBitmap(const JxCodeLocation& where, uint32_t group,
                                              const ext4_group_desc_64& desc,
                                              const unsigned char* data, bool countFree) {
  CVoError err = verifyBitmapCsum(where, group, desc, data);
  if (err.code < 0) return err;
  if (onBitmapRead) onBitmapRead(group, data);
  if (!countFree) return err;
  return checkFreeCount(where, group, desc,
                        fsbmp::countOnes(data, static_cast<size_t>(fs.blockSize)));
}

CVoError FsParserExt2::Impl::checkFreeCount(const JxCodeLocation& where, uint32_t group,
                                            const ext4_group_desc_64& desc, uint64_t usedBits) {
  const uint32_t freeBits =
      8u * static_cast<uint32_t>(fs.blockSize) - static_cast<uint32_t>(usedBits);
  if (freeBits != desc.freeBlocks()) {
    return JxErrorUtil::ErrorErrNo(
        FSBMP_AT(where), ENOSYS,
        "Number of free blocks (%d) in block group %d is inconsistent with the bitmap (%d).",
        static_cast<int>(desc.freeBlocks()), static_cast<int>(group), static_cast<int>(freeBits));
  }
  return CVoError();
}

CVoError FsParserExt2::Impl::readGroupBitmaps(const JxCodeLocation& where,
                                              const std::vector<ext4_group_desc_64>& gdt,
                                              uint32_t g, uint32_t most, unsigned char* into,
                                              uint32_t* count, bool countFree) {
  // flex_bg keeps the bitmaps of a run of groups in consecutive blocks: take as many of them as
  // fit in one request.
  const uint64_t at = gdt[g].blockBitmap();
  const uint64_t lastUsable = static_cast<uint64_t>(INT64_MAX / fs.blockSize);
  uint32_t k = 1;
  while (k < most && g + k < fs.groupDescCount && !skipsBitmap(gdt[g + k]) &&
         gdt[g + k].blockBitmap() == at + k && at + k < lastUsable)
    ++k;
  *count = k;
  if (k > 1 &&
      fs.readBlocks(into, fs.blockSize, static_cast<long long>(at), static_cast<int>(k)).code >=
          0) {
    for (uint32_t i = 0; i < k; ++i) {
      CVoError err = checkGroupBitmap(where, g + i, gdt[g + i],
                                      into + static_cast<size_t>(i) * fs.blockSize, countFree);
      if (err.code < 0) return err;
    }
    return CVoError();
  }
  // One group at a time, so that a failure names its own group.
  for (uint32_t i = 0; i < k; ++i) {
    CVoError err = readGroupBitmap(where, g + i, gdt[g + i],
                                   into + static_cast<size_t>(i) * fs.blockSize, countFree);
    if (err.code < 0) return err;
  }
  return CVoError();
}

void FsParserExt2::Impl::hintBitmaps(const std::vector<ext4_group_desc_64>& gdt, uint32_t from,
                                     uint32_t* hinted) {
  uint32_t first = 0, until = 0;
  if (!fsbmp::aheadWindow(from, fs.groupDescCount, kAheadGroups, hinted, &first, &until)) return;
  // A warm cache needs no hints, and hinting costs a page-cache look-up per block: when the last
  // bitmap of the window is cached already, the window is taken as cached.
  for (uint32_t h = until; h-- > first;) {
    if (skipsBitmap(gdt[h])) continue;
    if (fs.blocksCached(fs.blockSize, static_cast<long long>(gdt[h].blockBitmap() & INT64_MAX)))
      return;
    break;
  }
  fsbmp::RunHints runs(&fs, fs.blockSize);
  for (uint32_t h = first; h < until; ++h)
    if (!skipsBitmap(gdt[h])) runs.add(gdt[h].blockBitmap());
}

// Every geometry: bit j of group g stands for the cluster (or block) that starts at block
// first + j * 2^clusterBits; once a chunk is marked the walk goes on at the next chunk.
CVoError FsParserExt2::Impl::bitWalk(const JxCodeLocation& where,
                                     const std::vector<ext4_group_desc_64>& gdt,
                                     unsigned char* bitmap, uint32_t chunkShift) {
  const uint32_t batchBlocks = batchBlockCount();
  const uint32_t clusterBits = fs.clusterBits;
  MbBuffer staging(fs.blockSize * static_cast<int32_t>(batchBlocks));
  const uint64_t total = static_cast<uint64_t>(fs.blockCount);
  uint32_t hinted = 0;
  uint32_t g = 0;
  while (g < fs.groupDescCount) {
    if (skipsBitmap(gdt[g])) {
      ++g;
      continue;
    }
    hintBitmaps(gdt, g, &hinted);
    uint32_t batch = 0;
    CVoError err = readGroupBitmaps(where, gdt, g, batchBlocks, staging.data, &batch, true);
    if (err.code < 0) return err;
    for (uint32_t i = 0; i < batch; ++i, ++g) {
      const unsigned char* data = staging.data + static_cast<size_t>(i) * fs.blockSize;
      const uint64_t first = fs.firstDataBlock + static_cast<uint64_t>(g) * fs.blocksPerGroup;
      const uint64_t end = first + fs.blocksPerGroup < total ? first + fs.blocksPerGroup : total;
      if (first >= end) continue;
      if (chunkShift == 0 && clusterBits == 0 && (first & 7) == 0) {
        // One block per chunk, the group starting on a bitmap byte: its bitmap bytes are the
        // chunk bitmap's bytes, cut at the file system's end.
        // Free stretches are not written at all, so the pages of a fresh bitmap under them are
        // never touched.
        const uint64_t bits = end - first;
        const uint64_t whole = bits >> 3;
        unsigned char* to = bitmap + (first >> 3);
        uint64_t k = 0;
        for (; k + 8 <= whole; k += 8) {
          uint64_t w, t;
          memcpy(&w, data + k, sizeof w);  // raw bytes: OR needs no byte order
          if (w == 0) continue;
          memcpy(&t, to + k, sizeof t);
          t |= w;
          memcpy(to + k, &t, sizeof t);
        }
        for (; k < whole; ++k)
          if (data[k]) to[k] |= data[k];
        if (bits & 7)
          to[bits >> 3] |= static_cast<unsigned char>(data[bits >> 3] & ((1u << (bits & 7)) - 1));
        continue;
      }
      uint64_t b = first;
      while (b < end) {
        const uint64_t j = (b - first) >> clusterBits;
        if (data[j >> 3] & (1u << (j & 7))) {
          const uint64_t c = b >> chunkShift;
          fsbmp::markChunk(bitmap, c);
          b = (c + 1) << chunkShift;
        } else if ((j & 7) == 0 && data[j >> 3] == 0) {
          b = first + ((j + 8) << clusterBits);  // a whole free byte
        } else {
          b = first + ((j + 1) << clusterBits);
        }
      }
    }
  }
  return CVoError();
}

// First data block 0 and chunks of at least eight bitmap bits: the groups' bitmaps, each cut to
// its group's bytes, laid end to end form one bit per cluster from block 0, so chunk c is the
// unit of `unitBytes` bytes at byte c * unitBytes. They are staged and converted in batches.
CVoError FsParserExt2::Impl::byteWalk(const JxCodeLocation& where,
                                      const std::vector<ext4_group_desc_64>& gdt,
                                      unsigned char* bitmap, uint32_t unitBytes) {
  const uint32_t groupBytes = fs.bitsPerGroup / 8;
  const uint32_t least = unitBytes + static_cast<uint32_t>(fs.blockSize);
  const uint32_t batchRoom = unitBytes + batchBlockCount() * static_cast<uint32_t>(fs.blockSize);
  const uint32_t stagingBytes = fsbmp::ext2::walkTuning().stagingBytes;
  const uint32_t size = stagingBytes == 0 ? (2 * least > batchRoom ? 2 * least : batchRoom)
                                          : (stagingBytes < least ? least : stagingBytes);
  // Bitmap blocks go straight to their place in the staged string only when a group's bytes
  // fill its whole block; otherwise each block's tail is overwritten by the next group.
  const bool batches = groupBytes == static_cast<uint32_t>(fs.blockSize);
  // Then, with units of 1, 2 or 4 bytes, every group's block is converted whole (no unit spans
  // two groups) and its used bits are counted in the same pass, for the free-count check.
  const bool perGroup = batches && unitBytes < 8;
  MbBuffer staging(static_cast<int32_t>(size));

  uint32_t fill = 0;  // bytes staged
  uint64_t c = 0;     // chunk of the unit at the staging buffer's start
  uint32_t g = 0, hinted = 0;
  while (g < fs.groupDescCount) {
    hintBitmaps(gdt, g, &hinted);
    const uint32_t firstStaged = g;
    while (g < fs.groupDescCount && fill + static_cast<uint32_t>(fs.blockSize) <= size) {
      if (skipsBitmap(gdt[g])) {
        memset(staging.data + fill, 0, groupBytes);
        fill += groupBytes;
        ++g;
        continue;
      }
      const uint32_t most = batches ? (size - fill) / static_cast<uint32_t>(fs.blockSize) : 1;
      uint32_t batch = 0;
      CVoError err = readGroupBitmaps(where, gdt, g, most, staging.data + fill, &batch, !perGroup);
      if (err.code < 0) return err;
      fill += batch * groupBytes;
      g += batch;
    }
    if (perGroup) {
      const uint32_t groupUnits = groupBytes / unitBytes;
      for (uint32_t k = firstStaged; k < g; ++k, c += groupUnits) {
        if (skipsBitmap(gdt[k])) continue;  // staged as zeros
        const uint64_t used =
            markGroupUnits(staging.data + static_cast<size_t>(k - firstStaged) * groupBytes,
                           groupBytes, unitBytes, c, bitmap);
        CVoError err = checkFreeCount(where, k, gdt[k], used);
        if (err.code < 0) return err;
      }
      fill = 0;
      continue;
    }
    const uint32_t units = fill / unitBytes;
    uint32_t u = 0;
    for (; u < units; ++u, ++c)
      if (unitInUse(staging.data + u * unitBytes, unitBytes)) fsbmp::markChunk(bitmap, c);
    const uint32_t left = fill - units * unitBytes;
    memmove(staging.data, staging.data + units * unitBytes, left);
    fill = left;
  }
  if (!fsbmp::allZero(staging.data, fill)) fsbmp::markChunk(bitmap, c);
  return CVoError();
}
