// ReiserFS: the superblock at byte 65536, block bitmaps right after it and then at the first
// block of every range of blockSize * 8 blocks.
#include "fsbmp/fsbmpReiserFS.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "block_size.h"
#include "chunks.h"
#include "coding.h"
#include "location.h"

static const char kFile[] = "fsbmpReiserFS";
#define HERE JX_LOCATION(kFile)

namespace {

// Superblock fields (little-endian), offsets from byte 65536 of the device.
const int kSuperblockBlock = 16;  // in 4096-byte blocks
const int kSuperblockRead = 4096;
const int kOffBlockCount = 0;
const int kOffFreeCount = 4;
const int kOffBlockSize = 44;
const int kOffState = 50;
const int kOffMagic = 52;
const int kOffBitmaps = 70;
const int kOffVersion = 72;
const int kOffInodeGeneration = 76;
const char kMagic[10] = {'R', 'e', 'I', 's', 'E', 'r', '2', 'F', 's', '\0'};

}  // namespace

FsParserReiserFS::FsParserReiserFS(const std::string& dev, CVoError* err)
    : FsParserReiserFS(nullptr, dev, err) {}

FsParserReiserFS::FsParserReiserFS(std::shared_ptr<fsbmp::DeviceView> given, const std::string& dev,
                                   CVoError* err)
    : FsParser(dev, std::move(given)) {
  fsType = kReiserFS;
  *err = init(devPath);
}

FsParserReiserFS::~FsParserReiserFS() {}

CVoError FsParserReiserFS::init(const std::string& dev) {
  CVoError err = openDevice(HERE, dev);
  if (err.code < 0) return err;

  unsigned char sb[kSuperblockRead];
  err = readBlocks(sb, kSuperblockRead, kSuperblockBlock, 1);
  if (err.code < 0) return err.Push(HERE, "Couldn't read superblock from %s", dev.c_str());
  if (memcmp(sb + kOffMagic, kMagic, sizeof kMagic) != 0)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "No ReiserFS magic found in SB of %s",
                                   dev.c_str());

  const uint32_t sbBlockCount = fsbmp::decodeLE32(sb + kOffBlockCount);
  const uint32_t sbFreeCount = fsbmp::decodeLE32(sb + kOffFreeCount);
  const uint16_t sbBlockSize = fsbmp::decodeLE16(sb + kOffBlockSize);
  const uint16_t sbState = fsbmp::decodeLE16(sb + kOffState);
  const uint16_t sbBitmaps = fsbmp::decodeLE16(sb + kOffBitmaps);
  const uint16_t sbVersion = fsbmp::decodeLE16(sb + kOffVersion);
  const uint32_t sbInodeGeneration = fsbmp::decodeLE32(sb + kOffInodeGeneration);

  blockSize = sbBlockSize;
  blockCount = sbBlockCount;
  fsSize = static_cast<long long>(blockSize) * blockCount;

  static const char kTag[] = "FsParserReiserFS::init";
  debug.Debug(kTag, "Detected ReiserFS on %s", dev.c_str());
  debug.Debug(kTag, "   magic=\"%s\"", kMagic);
  debug.Debug(kTag, "   block_size=%d", blockSize);
  debug.Debug(kTag, "   block_count=%d", static_cast<int>(sbBlockCount));
  debug.Debug(kTag, "   free_count=%d", static_cast<int>(sbFreeCount));
  debug.Debug(kTag, "   bitmaps=%d", sbBitmaps);
  debug.Debug(kTag, "   state=%d (%s)", sbState, sbState == 1 ? "VALID" : "ERROR");
  debug.Debug(kTag, "   version=%d", sbVersion);
  debug.Debug(kTag, "   inode_generation=%d", static_cast<int>(sbInodeGeneration));

  // The bitmap layout divides by the block size: refuse one that no ReiserFS can have.
  if (!fsbmp::isUsableBlockSize(blockSize)) {
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "ReiserFS SB of %s has unusable block size %d",
                                   dev.c_str(), blockSize);
  }

  bitsPerBitmap = static_cast<uint32_t>(blockSize) * 8;
  firstBitmapBlock = 65536 / blockSize + 1;
  bitmapCount = sbBitmaps;

  // Free-block check: the clear bits of the bitmaps, over the bytes that cover block_count.
  MbBuffer scratch(blockSize);
  const uint64_t bytesToCount = (static_cast<uint64_t>(sbBlockCount) + 7) / 8;
  uint64_t counted = 0;
  uint32_t freeBits = 0;
  for (uint32_t i = 0; i < bitmapCount && counted < bytesToCount; ++i) {
    err = readBlocks(scratch.data, blockSize, bitmapBlock(i), 1);
    if (err.code < 0)
      return err.Push(HERE, "Couldn't read ReiserFS bitmap #%d from %s", i, dev.c_str());
    const uint64_t left = bytesToCount - counted;
    const size_t bytes = left < static_cast<uint64_t>(blockSize) ? static_cast<size_t>(left)
                                                                 : static_cast<size_t>(blockSize);
    freeBits += static_cast<uint32_t>(8 * bytes - fsbmp::countOnes(scratch.data, bytes));
    counted += bytes;
  }
  if (freeBits != sbFreeCount) {
    return JxErrorUtil::ErrorErrNo(
        HERE, ENOSYS,
        "Unexpected inconsistency of ReiserFS. SB on %s says that it has "
        "%d blocks, but bitmaps argue for %d",
        dev.c_str(), static_cast<int>(sbFreeCount), static_cast<int>(freeBits));
  }
  return FsParser::init();
}

CVoError FsParserReiserFS::getBmp(int chunkSize, void** bmp, long long* bmpSize) {
  return buildBitmap(HERE, {/*resetOutputs=*/true, /*count32=*/true}, chunkSize, bmp, bmpSize);
}

// Each bitmap block in turn; a set bit marks chunk b / blocksPerChunk and the walk goes on at the
// next chunk.
CVoError FsParserReiserFS::walkBitmap(const JxCodeLocation& where, const ChunkLayout& layout,
                                      unsigned char* bitmap) {
  const uint64_t blocksPerChunk = static_cast<uint64_t>(layout.blocksPerChunk);
  MbBuffer scratch(blockSize);
  // b: next block to examine; c: its chunk; r: blocks of chunk c from b to the chunk's end.
  uint64_t b = 0;
  uint64_t c = 0;
  uint64_t r = blocksPerChunk;
  const uint64_t total = static_cast<uint64_t>(blockCount);
  for (uint32_t i = 0; i < bitmapCount; ++i) {
    const uint64_t first = static_cast<uint64_t>(i) * bitsPerBitmap;
    if (b >= first + bitsPerBitmap) continue;  // a marked chunk reached past this bitmap
    if (b >= total) break;
    CVoError err = readBlocks(scratch.data, blockSize, bitmapBlock(i), 1);
    if (err.code < 0) {
      return err.Push(FSBMP_AT(where), "Couldn't read ReiserFS bitmap #%d from %s", i,
                      devPath.c_str());
    }
    uint64_t p = b - first;
    while (p < bitsPerBitmap && b < total) {
      if ((p & 63) == 0 && p + 64 <= bitsPerBitmap && fsbmp::allZero(scratch.data + (p >> 3), 8)) {
        // 64 free blocks: move b and p past them and c and r along.
        uint64_t k = 64;
        b += k;
        p += k;
        if (k < r) {
          r -= k;
        } else {
          k -= r;
          c += 1 + k / blocksPerChunk;
          r = blocksPerChunk - k % blocksPerChunk;
        }
      } else if (scratch.data[p >> 3] & (1u << (p & 7))) {
        fsbmp::markChunk(bitmap, c);
        b += r;
        p += r;
        ++c;
        r = blocksPerChunk;
      } else {
        ++b;
        ++p;
        if (--r == 0) {
          ++c;
          r = blocksPerChunk;
        }
      }
    }
  }
  return CVoError();
}
