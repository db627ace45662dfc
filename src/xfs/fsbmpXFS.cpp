// XFS: the superblock at byte 0, then per allocation group (AG) a superblock copy in its first
// sector and the free-space header (AGF) in its second. Each AGF roots a B+tree of the AG's free
// extents ordered by start block; the leaves of that tree are all this parser reads.
#include "fsbmp/fsbmpXFS.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "core/block_size.h"
#include "core/checksums.h"
#include "core/chunks.h"
#include "core/coding.h"
#include "core/device.h"
#include "core/device_view.h"
#include "core/location.h"
#include "xfs/fsbmpXFSCrc.h"
#include "xfs/fsbmpXFSImpl.h"
#include "xfs/fsbmpXFSLayout.h"
#include "xfs/fsbmpXFSLog.h"
#include "xfs/fsbmpXFSVerify.h"

static const char kFile[] = "fsbmpXFS";
#define HERE JX_LOCATION(kFile)

using namespace fsbmp::xfs;

namespace {

// What an XFS superblock can describe at all.
const uint32_t kMinAgBlocks = 64;
const uint32_t kMaxAgBlocks = 0x80000000u;  // a terabyte of 512-byte blocks
// Free-space trees never get this tall: even a terabyte AG of 512-byte blocks needs only a
// handful of levels.
const unsigned kMaxTreeLevels = 9;

}  // namespace

FsParserXFS::FsParserXFS(const std::string& dev, CVoError* err) : FsParserXFS(nullptr, dev, err) {}

FsParserXFS::FsParserXFS(std::shared_ptr<fsbmp::DeviceView> given, const std::string& dev,
                         CVoError* err)
    : FsParser(dev, std::move(given)),
      agBlocks(0),
      agCount(0),
      hasCRC(false),
      logStart(0),
      logBlocks(0),
      agBlockLog(0),
      impl_(new Impl(*this)) {
  fsType = kXFS;
  *err = init(devPath);
}

FsParserXFS::~FsParserXFS() {}

int FsParserXFS::Impl::treeHeaderSize() const {
  return fs.hasCRC ? kTreeHeaderCRC : kTreeHeader;
}

uint32_t FsParserXFS::Impl::treeMagic() const {
  return fs.hasCRC ? kTreeMagicCRC : kTreeMagic;
}

uint32_t FsParserXFS::Impl::agLimit(long long agStart) const {
  if (fs.agBlocks > 0 && agStart >= 0 && agStart % fs.agBlocks == 0) {
    const long long ag = agStart / fs.agBlocks;
    if (ag < static_cast<long long>(fs.agCount)) return fs.agLengths[ag];
  }
  return fs.agBlocks;
}

CVoError FsParserXFS::init(const std::string& dev) {
  CVoError err = openDevice(HERE, dev);
  if (err.code < 0) return err;

  unsigned char sb[kSuperRead];
  err = readBlocks(sb, kSuperRead, 0, 1);
  if (err.code < 0) return err.Push(HERE, "Couldn't read superblock from %s", dev.c_str());
  if (fsbmp::decodeBE32(sb + kOffSbMagic) != kSuperMagic)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "There is no XFS magic on %s", dev.c_str());

  const uint32_t sbBlockSize = fsbmp::decodeBE32(sb + kOffSbBlockSize);
  const uint32_t sbAgBlocks = fsbmp::decodeBE32(sb + kOffSbAgBlocks);
  const uint32_t sbAgCount = fsbmp::decodeBE32(sb + kOffSbAgCount);
  const int version = fsbmp::decodeBE16(sb + kOffSbVersion) & kVersionMask;
  const int sectorSize = fsbmp::decodeBE16(sb + kOffSbSectorSize);
  hasCRC = version == kVersionCRC;
  logStart = fsbmp::decodeBE64(sb + kOffSbLogStart);
  logBlocks = fsbmp::decodeBE32(sb + kOffSbLogBlocks);
  agBlockLog = sb[kOffSbAgBlockLog];

  static const char kTag[] = "FsParserXFS::init";
  debug.Debug(kTag, "Detected XFS on %s", dev.c_str());
  debug.Debug(kTag, "   magic=0x%08x", kSuperMagic);
  debug.Debug(kTag, "   version=%d", version);
  debug.Debug(kTag, "   blocksize=%d", static_cast<int>(sbBlockSize));
  debug.Debug(kTag, "   sectsize=%d", sectorSize);
  debug.Debug(kTag, "   AG size=%d blocks", static_cast<int>(sbAgBlocks));
  debug.Debug(kTag, "   AG count=%d", static_cast<int>(sbAgCount));
  debug.Debug(kTag, "   CRC=%d", hasCRC ? 1 : 0);

  // Everything below sizes buffers or positions reads from these values: refuse what no XFS can
  // have before allocating anything. A 512-byte block is longer than any tree-block header.
  if (!fsbmp::isUsableBlockSize(sbBlockSize)) {
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "XFS SB of %s has unusable block size %u",
                                   dev.c_str(), sbBlockSize);
  }
  if (!fsbmp::isUsableBlockSize(sectorSize) || sectorSize > static_cast<int>(sbBlockSize)) {
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                   "XFS SB of %s has unusable sector size %d (block size %u)",
                                   dev.c_str(), sectorSize, sbBlockSize);
  }
  if (sbAgBlocks < kMinAgBlocks || sbAgBlocks > kMaxAgBlocks) {
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "XFS SB of %s has unusable AG size of %u blocks",
                                   dev.c_str(), sbAgBlocks);
  }
  // Version 5 checksums the superblock over its whole sector; the checksum is stored
  // little-endian, whatever the host.
  if (hasCRC) {
    MbBuffer sector(sectorSize);
    err = readBlocks(sector.data, sectorSize, 0, 1);
    if (err.code < 0) return err.Push(HERE, "Couldn't read superblock from %s", dev.c_str());
    const uint32_t stored = fsbmp::decodeLE32(sector.data + kOffSbCRC);
    const uint32_t computed = metadataCRC(sector.data, static_cast<size_t>(sectorSize), kOffSbCRC);
    if (computed != stored && fsbmp::kChecksumsRefuse) {
      return JxErrorUtil::ErrorErrNo(
          HERE, ENOSYS, "Superblock of %s fails its CRC (stored 0x%08x, computed 0x%08x)",
          dev.c_str(), stored, computed);
    }
  }
  blockSize = static_cast<int>(sbBlockSize);
  agBlocks = sbAgBlocks;
  blockCount = 0;
  fsSize = 0;

  // Every AG's headers are read, so the last AG must begin inside the device.
  const long long agBytes = static_cast<long long>(agBlocks) * blockSize;
  if (sbAgCount > 0) {
    int64_t deviceEnd = 0;
    err = view->length(&deviceEnd);
    if (err.code < 0) return err.Push(HERE, "Couldn't measure %s", dev.c_str());
    const long long agsBegunInDevice = deviceEnd > 0 ? (deviceEnd - 1) / agBytes + 1 : 0;
    if (sbAgCount > agsBegunInDevice) {
      return JxErrorUtil::ErrorErrNo(
          HERE, ENOSYS, "XFS SB of %s describes %u AGs of %u blocks, more than its %lld bytes hold",
          dev.c_str(), sbAgCount, agBlocks, static_cast<long long>(deviceEnd));
    }
  }
  agRoots.reset(new (std::nothrow) uint32_t[sbAgCount]());
  agLengths.reset(new (std::nothrow) uint32_t[sbAgCount]());
  agFreeBlocks.reset(new (std::nothrow) uint32_t[sbAgCount]());
  nodeBuf.reset(new (std::nothrow) unsigned char[blockSize]());
  if (!agRoots || !agLengths || !agFreeBlocks || !nodeBuf) {
    return JxErrorUtil::ErrorErrNo(HERE, ENOMEM, "Couldn't allocate tables for %u AGs of %s",
                                   sbAgCount, dev.c_str());
  }
  agCount = sbAgCount;

  impl_->sectorBytes = sectorSize;
  memcpy(impl_->uuid, sb + kOffSbUuid, sizeof impl_->uuid);
  err = impl_->readAgHeaders(HERE);
  if (err.code < 0) return err;
  for (uint32_t ag = 0; ag < agCount; ++ag) blockCount += agLengths[ag];
  fsSize = static_cast<long long>(blockSize) * blockCount;
  return FsParser::init();
}

CVoError FsParserXFS::Impl::readAgHeaders(const JxCodeLocation& where) {
  CVoError err;
  const long long agBytes = static_cast<long long>(fs.agBlocks) * fs.blockSize;
  long long agByteStart = 0;
  uint32_t hinted = 0;
  for (uint32_t ag = 0; ag < fs.agCount; ++ag, agByteStart += agBytes) {
    hintAgHeaders(ag, &hinted);
    const long long sector = agByteStart / sectorBytes;
    err = fs.readBlocks(fs.nodeBuf.get(), sectorBytes, sector, 1);
    if (err.code < 0)
      return err.Push(FSBMP_AT(where), "Failed to read Super Block of AG %d of %s", ag,
                      fs.devPath.c_str());
    const uint32_t copyMagic = fsbmp::decodeBE32(fs.nodeBuf.get() + kOffSbMagic);
    if (copyMagic != kSuperMagic) {
      return JxErrorUtil::ErrorErrNo(
          FSBMP_AT(where), ENOSYS,
          "AG %d of %s has incorrect SB magic number: 0x%08x instead of 0x%08x.", ag,
          fs.devPath.c_str(), copyMagic, kSuperMagic);
    }

    err = fs.readBlocks(fs.nodeBuf.get(), sectorBytes, sector + 1, 1);
    if (err.code < 0)
      return err.Push(FSBMP_AT(where), "Failed to read AGF of AG %d of %s", ag, fs.devPath.c_str());
    const unsigned char* agf = fs.nodeBuf.get();
    const uint32_t agfMagic = fsbmp::decodeBE32(agf + kOffAgfMagic);
    if (agfMagic != kAgfMagic) {
      return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                     "Incorrect AGF magic of AG %d of %s: 0x%08x instead of 0x%08x",
                                     ag, fs.devPath.c_str(), agfMagic, kAgfMagic);
    }
    if (fs.hasCRC && !isReplayed((sector + 1) * sectorBytes, sectorBytes)) {
      const uint32_t stored = fsbmp::decodeLE32(agf + kOffAgfCRC);
      const uint32_t computed = metadataCRC(agf, static_cast<size_t>(sectorBytes), kOffAgfCRC);
      if (computed != stored && fsbmp::kChecksumsRefuse) {
        return JxErrorUtil::ErrorErrNo(
            FSBMP_AT(where), ENOSYS,
            "AGF of AG %u of %s fails its CRC (stored 0x%08x, computed 0x%08x)", ag,
            fs.devPath.c_str(), stored, computed);
      }
    }
    const uint32_t length = fsbmp::decodeBE32(agf + kOffAgfLength);
    const uint32_t byBlockRoot = fsbmp::decodeBE32(agf + kOffAgfByBlockRoot);
    const uint32_t freeBlocks = fsbmp::decodeBE32(agf + kOffAgfFreeBlocks);
    fs.debug.Debug("FsParserXFS::init",
                   "      AGF[%d]: roots=(%d, %d), levels=(%d, %d), freeblks=%d, length=%d", ag,
                   static_cast<int>(byBlockRoot),
                   static_cast<int>(fsbmp::decodeBE32(agf + kOffAgfByCountRoot)),
                   static_cast<int>(fsbmp::decodeBE32(agf + kOffAgfByBlockLevels)),
                   static_cast<int>(fsbmp::decodeBE32(agf + kOffAgfByCountLevels)),
                   static_cast<int>(freeBlocks), static_cast<int>(length));
    // AGs begin every agBlocks blocks; a longer one would overlap its successor.
    if (length > fs.agBlocks) {
      return JxErrorUtil::ErrorErrNo(
          FSBMP_AT(where), ENOSYS,
          "AGF of AG %d of %s gives a length of %u blocks, more than the %u of an AG", ag,
          fs.devPath.c_str(), length, fs.agBlocks);
    }
    fs.agRoots[ag] = byBlockRoot;
    fs.agLengths[ag] = length;
    fs.agFreeBlocks[ag] = freeBlocks;
  }
  return CVoError();
}

bool FsParserXFS::Impl::isReplayed(long long offset, int bytes) const {
  return replayed && fs.view == replayed &&
         replayed->holds(static_cast<int64_t>(offset), static_cast<uint32_t>(bytes));
}

CVoError FsParserXFS::verifyBlockCRC32C(const void* block) {
  if (!hasCRC) return CVoError();
  const unsigned char* bytes = static_cast<const unsigned char*>(block);
  const uint32_t crc = metadataCRC(bytes, static_cast<size_t>(blockSize), kOffTreeCRC);
  // XFS stores the checksum little-endian, whatever the host.
  const uint32_t stored = fsbmp::decodeLE32(bytes + kOffTreeCRC);
  if (crc != stored)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "Invalid B+tree CRC: 0x%08x instead of 0x%08x",
                                   crc, stored);
  return CVoError();
}

CVoError FsParserXFS::Impl::readTreeBlock(const JxCodeLocation& where, long long block) {
  CVoError err = fs.readBlocks(fs.nodeBuf.get(), fs.blockSize, block, 1);
  if (err.code < 0) return err.Push(where, "Failed to read AGF node from block %lld", block);
  const uint32_t magic = fsbmp::decodeBE32(fs.nodeBuf.get() + kOffTreeMagic);
  const uint32_t expected = treeMagic();
  if (magic != expected) {
    return JxErrorUtil::ErrorErrNo(where, ENOSYS,
                                   "Invalid B+tree node block magic: 0x%08x instead of 0x%08x",
                                   magic, expected);
  }
  // A block the log replay rebuilt carries the CRC of its older contents.
  if (isReplayed(block * fs.blockSize, fs.blockSize)) return CVoError();
  err = fs.verifyBlockCRC32C(fs.nodeBuf.get());
  if (err.code < 0) return err.Push(where);
  return CVoError();
}

CVoError FsParserXFS::findLeaf(unsigned int target, long long agStart, unsigned int node) {
  const int header = impl_->treeHeaderSize();
  const uint32_t maxKeys = static_cast<uint32_t>(blockSize - header) / (kRecordSize + kPointerSize);
  const uint32_t limit = impl_->agLimit(agStart);
  bool atRoot = true;
  unsigned aboveLevel = 0;  // every level must lie below the one above it
  impl_->leavesAhead = 0;
  impl_->nextParent = kNoSibling;

  // One block per level, all read into nodeBuf; only the chosen child survives a read.
  for (;;) {
    const long long block = agStart + node;
    if (node >= limit) {
      return JxErrorUtil::ErrorErrNo(
          HERE, ENOSYS, "B+tree block %u of the AG at block %lld of %s lies outside its %u blocks",
          node, agStart, devPath.c_str(), limit);
    }
    CVoError err = impl_->readTreeBlock(HERE, block);
    if (err.code < 0) return err;
    const unsigned char* buf = nodeBuf.get();

    const unsigned level = fsbmp::decodeBE16(buf + kOffTreeLevel);
    if (atRoot && level >= kMaxTreeLevels) {
      return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                     "B+tree root at block %lld of %s has level %u, more than a "
                                     "free-space tree can have",
                                     block, devPath.c_str(), level);
    }
    if (!atRoot && level >= aboveLevel) {
      return JxErrorUtil::ErrorErrNo(
          HERE, ENOSYS, "B+tree block %lld of %s has level %u, not below the %u of the level above",
          block, devPath.c_str(), level, aboveLevel);
    }
    if (level == 0) return CVoError();

    const uint32_t keys = fsbmp::decodeBE16(buf + kOffTreeRecords);
    if (keys > maxKeys) {
      return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                     "B+tree node at block %lld of %s holds %u keys, more than "
                                     "its %u slots",
                                     block, devPath.c_str(), keys, maxKeys);
    }
    // The first key above target ends the scan: its left neighbour's subtree covers target. A
    // key equal to target does not end it, so target goes into the equal key's own subtree.
    uint32_t i = 0;
    while (i < keys && fsbmp::decodeBE32(buf + header + i * kRecordSize) <= target) ++i;
    const uint32_t slot = i > 0 ? i - 1 : 0;
    // Above the leaves: the walk goes on from the leaf it reaches through its right siblings,
    // which are this node's next children (the kernel reads them all at once), then those of the
    // node to its right.
    if (level == 1) impl_->hintLeavesBelow(buf, keys, slot, agStart, limit);
    node = fsbmp::decodeBE32(buf + header + maxKeys * kRecordSize + slot * kPointerSize);
    aboveLevel = level;
    atRoot = false;
  }
}

CVoError FsParserXFS::getBmp(int chunkSize, void** bmp, long long* bmpSize) {
  return buildBitmap(HERE, {/*resetOutputs=*/true, /*count32=*/false}, chunkSize, bmp, bmpSize);
}

CVoError FsParserXFS::Impl::checkLog(const JxCodeLocation& where) {
  static const char kTag[] = "FsParserXFS::getBmp";
  const int64_t perBlock = fs.blockSize / 512;
  fsbmp::XfsLogPlace place;
  place.blocks = static_cast<int64_t>(fs.logBlocks) * perBlock;
  place.hasCRC = fs.hasCRC;
  memcpy(place.uuid, uuid, sizeof uuid);
  if (fs.logStart == 0) {
    fs.debug.Debug(kTag, "Log of %s is on another device%s%s", fs.devPath.c_str(),
                   logDevice ? ": " : "", logDevicePath.c_str());
    if (!logDevice) {
      return JxErrorUtil::ErrorErrNo(
          FSBMP_AT(where), ENOSYS,
          "XFS on %s keeps its log on another device, which the library cannot read: it cannot "
          "tell whether the log needs recovery, and a map made without it could lose data. Name "
          "the log device to map it",
          fs.devPath.c_str());
    }
    // An external log fills its device from the start.
    int64_t bytes = 0;
    CVoError err = logDevice->length(&bytes);
    if (err.code < 0)
      return err.Push(FSBMP_AT(where), "Couldn't measure %s", logDevicePath.c_str());
    if (fs.logBlocks == 0 || bytes / 512 < place.blocks) {
      return JxErrorUtil::ErrorErrNo(
          FSBMP_AT(where), ENOSYS,
          "%s holds %lld bytes, too few for the log of %u blocks that XFS on %s keeps there",
          logDevicePath.c_str(), static_cast<long long>(bytes), fs.logBlocks, fs.devPath.c_str());
    }
    place.device = logDevice.get();
  } else {
    // The internal log lies inside one AG.
    const uint64_t ag = fs.agBlockLog < 32 ? fs.logStart >> fs.agBlockLog : 0;
    const uint64_t inAg =
        fs.agBlockLog < 32 ? fs.logStart & ((uint64_t{1} << fs.agBlockLog) - 1) : 0;
    if (fs.agBlockLog >= 32 || ag >= fs.agCount || fs.logBlocks == 0 ||
        inAg + fs.logBlocks > fs.agLengths[static_cast<size_t>(ag)]) {
      return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                     "XFS SB of %s puts its log of %u blocks at block 0x%llx, "
                                     "outside its AGs",
                                     fs.devPath.c_str(), fs.logBlocks,
                                     static_cast<unsigned long long>(fs.logStart));
    }
    place.start = (static_cast<int64_t>(ag) * fs.agBlocks + static_cast<int64_t>(inAg)) * perBlock;
  }
  fsbmp::XfsLogState log;
  CVoError err = fsbmp::inspectXfsLog(where, fs, place, &log);
  if (err.code < 0) return err;
  fs.debug.Debug(kTag,
                 "Log of %s: %lld blocks of 512 bytes at block %lld; head %lld, tail %lld, "
                 "last record at %lld of cycle %u: %s",
                 fs.devPath.c_str(), static_cast<long long>(place.blocks),
                 static_cast<long long>(place.start), static_cast<long long>(log.head),
                 static_cast<long long>(log.tail), static_cast<long long>(log.lastRecord),
                 log.headCycle,
                 log.zeroed  ? "never written, clean"
                 : log.clean ? "clean"
                             : "needs recovery");
  if (log.clean) return CVoError();

  // Replay it in memory: the free-space trees as mounting would leave them, and for a scan of
  // the files the inodes and the other trees too.
  std::shared_ptr<fsbmp::MemoryOverlay> overlay = std::make_shared<fsbmp::MemoryOverlay>(fs.onDisk);
  fsbmp::XfsReplay replay;
  fsbmp::XfsInodeShape shape;
  const bool withInodes = verify && verify->on;
  if (withInodes) {
    err = inodeShape(where, &shape);
    if (err.code < 0) return err;
  }
  err = fsbmp::replayXfsLog(where, fs, place, log, withInodes ? &shape : nullptr, overlay.get(),
                            &replay);
  if (err.code < 0) return err;
  fs.debug.Debug(
      kTag,
      "Log of %s replayed in memory from log block %lld to %lld%s: %u records, %u "
      "transactions, %llu buffers put in place, %llu cancelled, %llu already on the device; "
      "%llu inodes, %llu inode chunks created",
      fs.devPath.c_str(), static_cast<long long>(replay.tail), static_cast<long long>(replay.head),
      replay.torn ? " (the head moved back over records whose writes did not finish)" : "",
      replay.records, replay.transactions, static_cast<unsigned long long>(replay.buffers),
      static_cast<unsigned long long>(replay.cancelled),
      static_cast<unsigned long long>(replay.current),
      static_cast<unsigned long long>(replay.inodes),
      static_cast<unsigned long long>(replay.inodesCreated));
  fs.logNeedsRecovery = true;
  fs.replayedTransactions = replay.transactions;
  fs.replayedBuffers = replay.buffers;
  replayed = overlay;
  replayedInodes = withInodes;
  fs.view = overlay;
  return CVoError();
}

CVoError FsParserXFS::setJournalDevice(const std::string& path) {
  if (logStart != 0) {
    return JxErrorUtil::ErrorErrNo(HERE, EINVAL, "XFS on %s keeps its log on its own device",
                                   devPath.c_str());
  }
  if (impl_->logChecked) {
    return JxErrorUtil::ErrorErrNo(HERE, EINVAL,
                                   "The log of XFS on %s was read already: name its device first",
                                   devPath.c_str());
  }
  std::unique_ptr<CVoFile> file(new CVoFile());
  CVoError err = file->Open(path.c_str(), fsbmp::kDeviceOpenFlags, fsbmp::kDeviceOpenMode);
  if (err.code < 0) return err.Push(HERE, "Couldn't open %s for reading", path.c_str());
  impl_->logDeviceFile = std::move(file);
  impl_->logDevice = std::make_shared<fsbmp::FileView>(impl_->logDeviceFile.get());
  impl_->logDevicePath = path;
  return CVoError();
}

bool FsParserXFS::logDeviceNamed() const {
  return impl_->logDevice != nullptr;
}

CVoError FsParserXFS::readLog() {
  return impl_->logOnce(HERE);
}

CVoError FsParserXFS::Impl::logOnce(const JxCodeLocation& where) {
  if (!logChecked) {
    logVerdict = checkLog(where);
    logChecked = true;
  }
  return logVerdict;
}

CVoError FsParserXFS::walkBitmap(const JxCodeLocation& where, const ChunkLayout& layout,
                                 unsigned char* bitmap) {
  // The trees say nothing of what a log not yet replayed allocates: it is replayed first. Without
  // AGs nothing is called free, so nothing can be lost either.
  if (agCount > 0) {
    // A replay made for the trees alone is made again, inodes and all, for a scan of the files.
    if (impl_->replayed && !impl_->replayedInodes && impl_->verify && impl_->verify->on) {
      impl_->replayed.reset();
      view = onDisk;
      impl_->logChecked = false;
    }
    CVoError err = impl_->logOnce(where);
    if (err.code < 0) return err;
  }
  fsbmp::xfs::VerifyState* verify =
      impl_->verify && impl_->verify->on ? impl_->verify.get() : nullptr;
  if (impl_->verify) {
    impl_->verify->recorded = false;
    impl_->verify->report = VerifyReport();
  }
  // The trees, then the files, which only add to what the trees marked.
  const auto walk = [&]() {
    if (verify) verify->collect = !verify->recorded;
    CVoError err = impl_->walkTrees(where, layout, bitmap);
    if (verify) verify->collect = false;
    if (err.code >= 0 && verify) err = impl_->verifyFiles(where, layout, bitmap);
    return err;
  };
  CVoError err;
  if (!impl_->replayed) {
    err = walk();
  } else {
    // The trees as the replay leaves them, then, only adding, as the device holds them.
    err = walkReplayed(where, [&]() {
      CVoError headers = impl_->readAgHeaders(where);
      if (headers.code < 0) return headers;
      return walk();
    });
  }
  if (err.code >= 0 && verify) verify->report.ran = true;
  return err;
}

CVoError FsParserXFS::Impl::walkTrees(const JxCodeLocation& where, const ChunkLayout& layout,
                                      unsigned char* bitmap) {
  CVoError err;
  const uint64_t blocksPerChunk = static_cast<uint64_t>(layout.blocksPerChunk);
  const int chunkShift = layout.chunkShift;
  const long long nChunks = static_cast<long long>(layout.nChunks);
  const uint64_t bytes = fs.bitmapBytes(layout);
  // Everything is used until a free extent says otherwise, past the file system's end too. The
  // extents come in ascending order, so the bitmap is written in one pass: the chunks from
  // `filledTo` up to the next free run are set, the free run keeps the zeros of the allocation,
  // and whatever follows the last free run is set at the end.
  uint64_t filledTo = 0;

  const int header = treeHeaderSize();
  const uint32_t maxRecords = static_cast<uint32_t>(fs.blockSize - header) / kRecordSize;

  // The free extents the file scan compares with, when it records this walk.
  fsbmp::xfs::VerifyState* const scan = verify.get();
  if (scan) scan->freeExtents.clear();

  rootsHinted = 0;
  for (uint32_t ag = 0; ag < fs.agCount; ++ag) {
    const long long agStart = static_cast<long long>(ag) * fs.agBlocks;
    const uint32_t agLength = fs.agLengths[ag];
    err = firstLeaf(ag);
    if (err.code < 0)
      return err.Push(FSBMP_AT(where), "Couldn't find first free interval of AG %d", ag);

    uint32_t foundFree = 0;  // wraps like the AGF's own counter
    uint64_t previousEnd = 0;
    uint32_t leaves = 1;
    for (;;) {
      const unsigned char* leaf = fs.nodeBuf.get();
      const uint32_t records = fsbmp::decodeBE16(leaf + kOffTreeRecords);
      if (records > maxRecords) {
        return JxErrorUtil::ErrorErrNo(
            FSBMP_AT(where), ENOSYS,
            "B+tree leaf of AG %d of %s holds %u records, more than its %u slots", ag,
            fs.devPath.c_str(), records, maxRecords);
      }
      // Only the root of an AG without free space is an empty leaf; a chain of leaves that
      // each hold at least one non-empty extent in ascending order cannot come back on itself
      // without the order check below noticing at once.
      const bool chained =
          leaves > 1 || fsbmp::decodeBE32(leaf + kOffTreeRightSibling) != kNoSibling;
      if (records == 0 && chained) {
        return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                       "Empty B+tree leaf in the chain of AG %d of %s", ag,
                                       fs.devPath.c_str());
      }
      for (uint32_t r = 0; r < records; ++r) {
        const unsigned char* rec = leaf + header + r * kRecordSize;
        const uint32_t start = fsbmp::decodeBE32(rec);
        const uint32_t count = fsbmp::decodeBE32(rec + 4);
        const uint64_t end = static_cast<uint64_t>(start) + count;
        if (count == 0) {
          return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                         "Free extent of no blocks at block %u of AG %d of %s",
                                         start, ag, fs.devPath.c_str());
        }
        if (end > agLength) {
          return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                         "Free extent of %u blocks at block %u of AG %d of %s "
                                         "runs past the AG's %u blocks",
                                         count, start, ag, fs.devPath.c_str(), agLength);
        }
        // By-block order: extents ascend and never overlap. This also ends a sibling chain
        // that comes back to an earlier leaf.
        if (start < previousEnd) {
          return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                         "Free extents of AG %d of %s are out of order at "
                                         "block %u",
                                         ag, fs.devPath.c_str(), start);
        }
        previousEnd = end;
        foundFree += count;
        if (scan && scan->collect)
          scan->freeExtents.emplace_back(static_cast<uint64_t>(agStart) + start, count);

        const uint64_t s = static_cast<uint64_t>(agStart) + start;
        const uint64_t e = static_cast<uint64_t>(agStart) + end;
        // blocksPerChunk is a power of two: shifts, not divisions (one record at a time, tens
        // of thousands of records).
        const uint64_t firstChunk = (s + blocksPerChunk - 1) >> chunkShift;
        const uint64_t endChunk = e >> chunkShift;
        if (endChunk > static_cast<uint64_t>(nChunks)) {
          return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                         "Free extent of %u blocks at block %u of AG %d of %s "
                                         "lies past the end of the file system",
                                         count, start, ag, fs.devPath.c_str());
        }
        if (firstChunk < endChunk) {
          if (firstChunk >= filledTo) {
            fsbmp::setChunkRange(bitmap, filledTo, firstChunk);
          } else {
            fsbmp::clearChunkRange(bitmap, firstChunk, endChunk < filledTo ? endChunk : filledTo);
          }
          if (endChunk > filledTo) filledTo = endChunk;
        }
      }

      const uint32_t sibling = fsbmp::decodeBE32(leaf + kOffTreeRightSibling);
      if (sibling == kNoSibling) break;
      if (sibling >= agLength) {
        return JxErrorUtil::ErrorErrNo(
            FSBMP_AT(where), ENOSYS,
            "Right sibling %u of a B+tree leaf of AG %d of %s lies outside its %u blocks", sibling,
            ag, fs.devPath.c_str(), agLength);
      }
      // Every leaf is a distinct block of the AG.
      if (++leaves > agLength) {
        return JxErrorUtil::ErrorErrNo(
            FSBMP_AT(where), ENOSYS, "B+tree leaves of AG %d of %s run on past the AG's %u blocks",
            ag, fs.devPath.c_str(), agLength);
      }
      err = nextLeaf(FSBMP_AT(where), agStart, agLength, sibling);
      if (err.code < 0) return err;
    }

    if (foundFree != fs.agFreeBlocks[ag]) {
      return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                     "Unexpected inconsistency: found %d free blocks for AG %d, "
                                     "but AGF says there should be %d",
                                     static_cast<int>(foundFree), ag,
                                     static_cast<int>(fs.agFreeBlocks[ag]));
    }
  }

  fsbmp::setChunkRange(bitmap, filledTo, bytes * 8);
  return CVoError();
}

std::string FsParserXFS::journalState() {
  if (logStart == 0 && !logDeviceNamed()) return "on another device";
  if (agCount == 0) return "";
  const CVoError err = readLog();
  if (err.code < 0) return "needs recovery, which can't be done here: " + err.rootMessage();
  if (!logNeedsRecovery) return "clean";
  return "needs recovery: " + std::to_string(replayedTransactions) + " transactions (" +
         std::to_string(replayedBuffers) + " buffers) replayed in memory";
}
