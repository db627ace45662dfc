// ReiserFS: the superblock at byte 65536, block bitmaps right after it and then at the first
// block of every range of blockSize * 8 blocks.
#include "fsbmp/fsbmpReiserFS.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include "core/block_size.h"
#include "core/chunks.h"
#include "core/coding.h"
#include "core/device_view.h"
#include "core/location.h"
#include "core/read_ahead.h"
#include "reiserfs/fsbmpReiserFSImpl.h"
#include "reiserfs/fsbmpReiserFSLayout.h"

static const char kFile[] = "fsbmpReiserFS";
#define HERE JX_LOCATION(kFile)

using namespace fsbmp::reiserfs;

namespace {

// Bitmap blocks hinted to the kernel ahead of the one being read, renewed once half of them are
// read. They lie one per bitsPerBitmap blocks (128 MiB apart at 4 KiB), so each is a hint of its
// own; a window rather than all of them keeps what the kernel reads ahead to 512 blocks (2 MiB at
// 4 KiB, 32 MiB at 64 KiB) however many bitmaps the superblock counts, so that nothing hinted is
// evicted before it is read.
const uint32_t kAheadBitmaps = 512;

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
      journalSize(0),
      replayedTransactions(0),
      impl_(new Impl(*this)) {
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
  uint32_t sbFreeCount = fsbmp::decodeLE32(sb + kOffFreeCount);
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
  debug.Debug(kTag, "   state=%d (%s)", sbState, sbState == kStateValid ? "VALID" : "ERROR");
  debug.Debug(kTag, "   version=%d", sbVersion);
  debug.Debug(kTag, "   inode_generation=%d", static_cast<int>(sbInodeGeneration));

  // The bitmap layout divides by the block size: refuse one that no ReiserFS can have.
  if (!fsbmp::isUsableBlockSize(blockSize)) {
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "ReiserFS SB of %s has unusable block size %d",
                                   dev.c_str(), blockSize);
  }

  bitsPerBitmap = static_cast<uint32_t>(blockSize) * 8;
  firstBitmapBlock = kSuperblockOffset / blockSize + 1;
  bitmapCount = sbBitmaps;

  // A journal holding transactions not yet written back: they are replayed in memory, and the
  // superblock's free count and the bitmaps are read as they leave them. What goes wrong is kept
  // for getBmp, so that the file system is still recognised for what it is.
  CVoError replay = impl_->replayJournal(HERE);
  if (replay.code < 0) {
    replayError = replay;
  } else if (view != onDisk) {
    err = readBlocks(sb, kSuperblockRead, kSuperblockBlock, 1);
    if (err.code < 0) return err.Push(HERE, "Couldn't read superblock from %s", dev.c_str());
    if (fsbmp::decodeLE32(sb + kOffBlockCount) != sbBlockCount ||
        fsbmp::decodeLE16(sb + kOffBlockSize) != sbBlockSize ||
        fsbmp::decodeLE16(sb + kOffBitmaps) != sbBitmaps) {
      replayError = JxErrorUtil::ErrorErrNo(
          HERE, ENOSYS, "ReiserFS journal of %s changes the file system's geometry", dev.c_str());
      view = onDisk;
    } else {
      sbFreeCount = fsbmp::decodeLE32(sb + kOffFreeCount);
      debug.Debug(kTag, "   free_count=%d after the replay", static_cast<int>(sbFreeCount));
    }
  }

  // Free-block check: the clear bits of the bitmaps, over the bytes that cover block_count. They
  // are hinted ahead of the one read, so that on a cold cache the kernel has many in flight.
  MbBuffer scratch(blockSize);
  const uint64_t bytesToCount = (static_cast<uint64_t>(sbBlockCount) + 7) / 8;
  uint64_t counted = 0;
  uint32_t freeBits = 0;
  uint32_t hinted = 0;
  for (uint32_t i = 0; i < bitmapCount && counted < bytesToCount; ++i) {
    impl_->hintBitmaps(i, &hinted);
    err = readBlocks(scratch.data, blockSize, impl_->bitmapBlock(i), 1);
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

// The kernel's mount (and reiserfsck) replays from the header's first unflushed block every
// valid transaction in turn, stopping at the first that isn't: a description block with the
// magic, an id past the last one replayed and the header's mount id, `length` logged blocks, and
// a commit block that repeats the id and the length. The description block names where the
// first logged blocks belong, the commit block the rest. Nothing is written: the copies are put
// in place through an overlay, and reads of the superblock and the bitmaps go through it.
CVoError FsParserReiserFS::Impl::replayJournal(const JxCodeLocation& where) {
  static const char kTag[] = "FsParserReiserFS::init";
  // A journal on another device cannot be read here: getBmp refuses.
  if (fs.journalDevice != 0) {
    fs.debug.Debug(kTag, "   journal on device 0x%x", fs.journalDevice);
    return CVoError();
  }
  const uint64_t headerBlock = static_cast<uint64_t>(fs.journalFirstBlock) + fs.journalSize;
  if (fs.journalSize < 3 || headerBlock >= static_cast<uint64_t>(fs.blockCount)) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "ReiserFS SB of %s puts a journal of %u blocks at block %u, "
                                   "which does not fit its %lld blocks",
                                   fs.devPath.c_str(), fs.journalSize, fs.journalFirstBlock,
                                   fs.blockCount);
  }
  MbBuffer desc(fs.blockSize);
  MbBuffer commit(fs.blockSize);
  CVoError err = fs.readBlocks(desc.data, fs.blockSize, static_cast<long long>(headerBlock), 1);
  if (err.code < 0)
    return err.Push(FSBMP_AT(where), "Couldn't read the journal header of %s", fs.devPath.c_str());
  const uint32_t lastFlushed = fsbmp::decodeLE32(desc.data + kOffHeaderLastFlushed);
  const uint32_t firstUnflushed = fsbmp::decodeLE32(desc.data + kOffHeaderFirstUnflushed);
  const uint32_t mountId = fsbmp::decodeLE32(desc.data + kOffHeaderMountId);
  if (firstUnflushed >= fs.journalSize) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "ReiserFS journal header of %s starts replay at journal block "
                                   "%u, outside its %u blocks",
                                   fs.devPath.c_str(), firstUnflushed, fs.journalSize);
  }

  // Where the logged blocks belong: the description block holds the first `inDesc` of them,
  // the commit block the next `inCommit`.
  const uint32_t inDesc = descHomes(fs.blockSize);
  const uint32_t inCommit = commitHomes(fs.blockSize);
  std::map<uint64_t, fsbmp::BlockOverlay::Copy> copies;
  uint32_t offset = firstUnflushed;
  uint32_t previous = lastFlushed;
  uint32_t transactions = 0;
  for (uint64_t scanned = 0; scanned < fs.journalSize;) {
    err = fs.readBlocks(desc.data, fs.blockSize,
                        static_cast<long long>(fs.journalFirstBlock) + offset, 1);
    if (err.code < 0) {
      return err.Push(FSBMP_AT(where), "Couldn't read journal block %u of %s", offset,
                      fs.devPath.c_str());
    }
    const uint32_t transId = fsbmp::decodeLE32(desc.data + kOffTransId);
    const uint32_t length = fsbmp::decodeLE32(desc.data + kOffTransLength);
    if (memcmp(desc.data + fs.blockSize - kDescMagicFromEnd, kDescMagic, sizeof kDescMagic) != 0 ||
        transId <= previous || fsbmp::decodeLE32(desc.data + kOffDescMountId) != mountId ||
        length == 0 || length >= fs.journalSize - 1 || length > inDesc + inCommit)
      break;
    const uint32_t commitAt =
        static_cast<uint32_t>((static_cast<uint64_t>(offset) + length + 1) % fs.journalSize);
    err = fs.readBlocks(commit.data, fs.blockSize,
                        static_cast<long long>(fs.journalFirstBlock) + commitAt, 1);
    if (err.code < 0) {
      return err.Push(FSBMP_AT(where), "Couldn't read journal block %u of %s", commitAt,
                      fs.devPath.c_str());
    }
    if (fsbmp::decodeLE32(commit.data + kOffTransId) != transId ||
        fsbmp::decodeLE32(commit.data + kOffTransLength) != length)
      break;
    for (uint32_t i = 0; i < length; ++i) {
      const uint32_t home =
          i < inDesc ? fsbmp::decodeLE32(desc.data + kOffDescHomes + 4 * i)
                     : fsbmp::decodeLE32(commit.data + kOffCommitHomes + 4 * (i - inDesc));
      if (home >= static_cast<uint64_t>(fs.blockCount)) {
        return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                       "ReiserFS journal of %s: transaction %u logs block %u, past "
                                       "the file system's %lld blocks",
                                       fs.devPath.c_str(), transId, home, fs.blockCount);
      }
      const uint64_t copyAt =
          fs.journalFirstBlock + (static_cast<uint64_t>(offset) + 1 + i) % fs.journalSize;
      copies[home] = {copyAt, false};
    }
    ++transactions;
    previous = transId;
    offset = static_cast<uint32_t>((static_cast<uint64_t>(offset) + length + 2) % fs.journalSize);
    scanned += static_cast<uint64_t>(length) + 2;
  }
  fs.debug.Debug(
      kTag,
      "   journal: %u blocks at block %u; last flushed transaction %u, mount %u; replayed "
      "%u transactions, %u blocks; the log ends at journal block %u",
      fs.journalSize, fs.journalFirstBlock, lastFlushed, mountId, transactions,
      static_cast<unsigned>(copies.size()), offset);
  fs.replayedTransactions = transactions;
  if (!copies.empty())
    fs.view = std::make_shared<fsbmp::BlockOverlay>(fs.onDisk, fs.blockSize, copies);
  return CVoError();
}

void FsParserReiserFS::Impl::hintBitmaps(uint32_t from, uint32_t* hinted) {
  // Only the bitmaps that describe the file system's blocks, which are all that the check reads.
  const uint64_t covering =
      (static_cast<uint64_t>(fs.blockCount) + fs.bitsPerBitmap - 1) / fs.bitsPerBitmap;
  const uint32_t until =
      covering < fs.bitmapCount ? static_cast<uint32_t>(covering) : fs.bitmapCount;
  uint32_t first = 0, end = 0;
  if (!fsbmp::aheadWindow(from, until, kAheadBitmaps, hinted, &first, &end)) return;
  // A warm cache that holds the window's last bitmap holds the others as a rule: no hints then.
  if (fs.blocksCached(fs.blockSize, bitmapBlock(end - 1))) return;
  for (uint32_t h = first; h < end; ++h) fs.willReadBlocks(fs.blockSize, bitmapBlock(h), 1);
}

// Each bitmap block in turn; a set bit marks chunk b / blocksPerChunk and the walk goes on at the
// next chunk.
CVoError FsParserReiserFS::walkBitmap(const JxCodeLocation& where, const ChunkLayout& layout,
                                      unsigned char* bitmap) {
  // A journal on another device may hold allocations the bitmaps lack.
  if (journalDevice != 0) {
    return JxErrorUtil::ErrorErrNo(
        FSBMP_AT(where), ENOSYS,
        "ReiserFS on %s keeps its journal on another device (0x%x), which the library cannot "
        "read: it cannot tell whether the journal holds transactions not yet written back, and "
        "a map made without them could lose data",
        devPath.c_str(), journalDevice);
  }
  // Blocks used before the journal's replay count as used too.
  return walkReplayed(where, [&] { return impl_->walkMaps(where, layout, bitmap); });
}

CVoError FsParserReiserFS::Impl::walkMaps(const JxCodeLocation& where, const ChunkLayout& layout,
                                          unsigned char* bitmap) {
  const uint64_t blocksPerChunk = static_cast<uint64_t>(layout.blocksPerChunk);
  const uint32_t bitsPerBitmap = fs.bitsPerBitmap;
  MbBuffer scratch(fs.blockSize);
  // b: next block to examine; c: its chunk; r: blocks of chunk c from b to the chunk's end.
  uint64_t b = 0;
  uint64_t c = 0;
  uint64_t r = blocksPerChunk;
  const uint64_t total = static_cast<uint64_t>(fs.blockCount);
  // No hints here: the probe has just read every bitmap block, and hinting them again would
  // cost a page-cache look-up each on every map.
  for (uint32_t i = 0; i < fs.bitmapCount; ++i) {
    const uint64_t first = static_cast<uint64_t>(i) * bitsPerBitmap;
    if (b >= first + bitsPerBitmap) continue;  // a marked chunk reached past this bitmap
    if (b >= total) break;
    CVoError err = fs.readBlocks(scratch.data, fs.blockSize, bitmapBlock(i), 1);
    if (err.code < 0) {
      return err.Push(FSBMP_AT(where), "Couldn't read ReiserFS bitmap #%d from %s", i,
                      fs.devPath.c_str());
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

std::string FsParserReiserFS::journalState() {
  if (journalDevice != 0) return "on another device";
  if (replayError.code < 0)
    return "needs replay, which can't be done here: " + replayError.rootMessage();
  if (replayedTransactions == 0) return "clean";
  return "needs replay: " + std::to_string(replayedTransactions) +
         " transactions replayed in memory";
}
