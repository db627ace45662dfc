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
const int kOffJournalFirstBlock = 12;
const int kOffJournalDevice = 16;
const int kOffJournalSize = 20;
const int kOffBlockSize = 44;
const int kOffState = 50;
const int kOffMagic = 52;
const int kOffBitmaps = 70;
const int kOffVersion = 72;
const int kOffInodeGeneration = 76;
const char kMagic[10] = {'R', 'e', 'I', 's', 'E', 'r', '2', 'F', 's', '\0'};

// Journal header, in the block after the journal.
const int kOffHeaderLastFlushed = 0;
const int kOffHeaderFirstUnflushed = 4;  // journal block of the oldest transaction not written back
const int kOffHeaderMountId = 8;
// Description block, which opens a transaction: its commit block follows its `length` logged
// blocks and repeats its id and length.
const int kOffTransId = 0;
const int kOffTransLength = 4;
const int kOffDescMountId = 8;
const int kDescMagicFromEnd = 12;
const char kDescMagic[8] = {'R', 'e', 'I', 's', 'E', 'r', 'L', 'B'};

}  // namespace

FsParserReiserFS::FsParserReiserFS(const std::string& dev, CVoError* err)
    : FsParserReiserFS(nullptr, dev, err) {}

FsParserReiserFS::FsParserReiserFS(std::shared_ptr<fsbmp::DeviceView> given, const std::string& dev,
                                   CVoError* err)
    : FsParser(dev, std::move(given)),
      bitsPerBitmap(0),
      firstBitmapBlock(0),
      bitmapCount(0),
      journalFirstBlock(0),
      journalDevice(0),
      journalSize(0) {
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
  journalFirstBlock = fsbmp::decodeLE32(sb + kOffJournalFirstBlock);
  journalDevice = fsbmp::decodeLE32(sb + kOffJournalDevice);
  journalSize = fsbmp::decodeLE32(sb + kOffJournalSize);

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

// The kernel's mount replays from the header's first unflushed block when the transaction there
// is valid: its description block carries the magic, an id past the last one written back and
// the header's mount id, and its commit block repeats its id and length. reiserfsck replays the
// same transactions.
CVoError FsParserReiserFS::checkJournal(const JxCodeLocation& where) {
  static const char kTag[] = "FsParserReiserFS::getBmp";
  // A journal on another device cannot be read here, and this device does not tell whether it
  // was left clean: the superblock's unmount state is itself updated through the journal, so a
  // copy taken soon after a mount can still say "valid" while transactions wait in the journal.
  if (journalDevice != 0) {
    debug.Debug(kTag, "Journal of %s is on device 0x%x", devPath.c_str(), journalDevice);
    return JxErrorUtil::ErrorErrNo(
        FSBMP_AT(where), ENOSYS,
        "ReiserFS on %s keeps its journal on another device (0x%x), which the library cannot "
        "read: it cannot tell whether the journal holds transactions not yet written back, and "
        "a map made without them could lose data",
        devPath.c_str(), journalDevice);
  }
  const uint64_t headerBlock = static_cast<uint64_t>(journalFirstBlock) + journalSize;
  if (journalSize < 3 || headerBlock >= static_cast<uint64_t>(blockCount)) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "ReiserFS SB of %s puts a journal of %u blocks at block %u, "
                                   "which does not fit its %lld blocks",
                                   devPath.c_str(), journalSize, journalFirstBlock, blockCount);
  }
  MbBuffer block(blockSize);
  CVoError err = readBlocks(block.data, blockSize, static_cast<long long>(headerBlock), 1);
  if (err.code < 0)
    return err.Push(FSBMP_AT(where), "Couldn't read the journal header of %s", devPath.c_str());
  const uint32_t lastFlushed = fsbmp::decodeLE32(block.data + kOffHeaderLastFlushed);
  const uint32_t firstUnflushed = fsbmp::decodeLE32(block.data + kOffHeaderFirstUnflushed);
  const uint32_t mountId = fsbmp::decodeLE32(block.data + kOffHeaderMountId);
  if (firstUnflushed >= journalSize) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "ReiserFS journal header of %s starts replay at journal block "
                                   "%u, outside its %u blocks",
                                   devPath.c_str(), firstUnflushed, journalSize);
  }

  err = readBlocks(block.data, blockSize,
                   static_cast<long long>(journalFirstBlock) + firstUnflushed, 1);
  if (err.code < 0) {
    return err.Push(FSBMP_AT(where), "Couldn't read journal block %u of %s", firstUnflushed,
                    devPath.c_str());
  }
  const uint32_t transId = fsbmp::decodeLE32(block.data + kOffTransId);
  const uint32_t length = fsbmp::decodeLE32(block.data + kOffTransLength);
  bool pending =
      memcmp(block.data + blockSize - kDescMagicFromEnd, kDescMagic, sizeof kDescMagic) == 0 &&
      transId > lastFlushed && fsbmp::decodeLE32(block.data + kOffDescMountId) == mountId &&
      length > 0 && length < journalSize - 1;
  if (pending) {
    const uint32_t commit =
        static_cast<uint32_t>((static_cast<uint64_t>(firstUnflushed) + length + 1) % journalSize);
    err = readBlocks(block.data, blockSize, static_cast<long long>(journalFirstBlock) + commit, 1);
    if (err.code < 0) {
      return err.Push(FSBMP_AT(where), "Couldn't read journal block %u of %s", commit,
                      devPath.c_str());
    }
    pending = fsbmp::decodeLE32(block.data + kOffTransId) == transId &&
              fsbmp::decodeLE32(block.data + kOffTransLength) == length;
  }
  debug.Debug(kTag,
              "Journal of %s: %u blocks at block %u; last flushed transaction %u, mount %u, "
              "first unflushed block %u: %s",
              devPath.c_str(), journalSize, journalFirstBlock, lastFlushed, mountId, firstUnflushed,
              pending ? "transactions to replay" : "clean");
  if (!pending) return CVoError();
  return JxErrorUtil::ErrorErrNo(
      FSBMP_AT(where), ENOSYS,
      "ReiserFS on %s has journal transactions not yet written back (transaction %u of %u "
      "blocks at journal block %u): the bitmaps lack what they allocate, so a map now could "
      "lose data. Replay the journal first: mount the file system or run reiserfsck --check -y "
      "on a copy, then map that",
      devPath.c_str(), transId, length, firstUnflushed);
}

// Each bitmap block in turn; a set bit marks chunk b / blocksPerChunk and the walk goes on at the
// next chunk.
CVoError FsParserReiserFS::walkBitmap(const JxCodeLocation& where, const ChunkLayout& layout,
                                      unsigned char* bitmap) {
  // The bitmaps say nothing of what a journal not yet replayed allocates.
  CVoError journal = checkJournal(where);
  if (journal.code < 0) return journal;
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
