// ext2, ext3 and ext4: the probe (superblock, feature flags, group geometry) and where the
// superblock backups lie.
#include "fsbmp/fsbmpExt2.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "core/block_size.h"
#include "core/coding.h"
#include "ext2/fsbmpExt2Impl.h"
#include "ext2/fsbmpExt2Layout.h"

static const char kFile[] = "fsbmpExt2";
#define HERE JX_LOCATION(kFile)

using namespace fsbmp::ext2;

static_assert((kSuperblockSize << kMaxLogBlockSize) == fsbmp::kMaxBlockSize,
              "the largest ext2/3/4 block is the largest block the walks take");

FsParserExt2::FsParserExt2(const std::string& dev, CVoError* err)
    : FsParserExt2(nullptr, dev, err) {}

FsParserExt2::FsParserExt2(std::shared_ptr<fsbmp::DeviceView> given, const std::string& dev,
                           CVoError* err)
    : FsParser(dev, std::move(given)),
      firstDataBlock(0),
      blocksPerGroup(0),
      inodesPerGroup(0),
      groupDescCount(0),
      groupDescSize(0),
      descsPerBlock(0),
      descBlocks(0),
      revLevel(0),
      groupsPerFlex(1),
      firstMetaBg(0),
      backupBgs{0, 0},
      sparseSuper(false),
      sparseSuper2(false),
      metaBg(false),
      blockUninitHonoured(false),
      clusterBits(0),
      bitsPerGroup(0),
      reservedGdtBlocks(0),
      inodeTableBlocks(0),
      metadataCsum(false),
      gdtCsum(false),
      csumSeed(0),
      uuid{},
      needsRecovery(false),
      journalInode(0),
      replayedTransactions(0),
      replayedBlocks(0),
      impl_(new Impl(*this)) {
  fsType = kExt2;
  *err = init(devPath);
}

FsParserExt2::~FsParserExt2() {}

CVoError FsParserExt2::init(const std::string& dev) {
  const char* path = dev.c_str();
  CVoError err = openDevice(HERE, dev);
  if (err.code < 0) return err;

  unsigned char sb[kSuperblockSize];
  err = readBlocks(sb, kSuperblockSize, 1, 1);
  if (err.code < 0) return err.Push(HERE, "Couldn't read SB from %s", path);

  const uint16_t magic = fsbmp::decodeLE16(sb + kSbMagic);
  if (magic != kExt2Magic)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s doesn't have ext2/3/4 SB magic", path);

  static const char kTag[] = "FsParserExt2::init";
  if (fsbmp::decodeLE32(sb + kSbFeatureIncompat) & kIncompatJournalDev) {
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                   "%s is an external ext3/4 journal, not a file system", path);
  }
  debug.Debug(kTag, "Detected ext2/3/4 FS on %s", path);
  err = impl_->setUpChecksums(HERE, sb);
  if (err.code < 0) return err;

  const uint32_t compat = fsbmp::decodeLE32(sb + kSbFeatureCompat);
  const uint32_t incompat = fsbmp::decodeLE32(sb + kSbFeatureIncompat);
  const uint32_t roCompat = fsbmp::decodeLE32(sb + kSbFeatureRoCompat);
  const bool is64bit = (incompat & kIncompat64bit) != 0;
  const bool bigalloc = (roCompat & kRoCompatBigalloc) != 0;

  // Block geometry. Every division and shift below needs a block size the walks can handle.
  const uint32_t logBlockSize = fsbmp::decodeLE32(sb + kSbLogBlockSize);
  if (logBlockSize > kMaxLogBlockSize) {
    return JxErrorUtil::ErrorErrNo(
        HERE, ENOSYS, "Superblock of %s is corrupt: block size exponent %u is above %u", path,
        logBlockSize, kMaxLogBlockSize);
  }
  blockSize = kSuperblockSize << logBlockSize;
  uint64_t blocks = fsbmp::decodeLE32(sb + kSbBlocksCountLo);
  if (is64bit) blocks |= static_cast<uint64_t>(fsbmp::decodeLE32(sb + kSbBlocksCountHi)) << 32;
  blocksPerGroup = fsbmp::decodeLE32(sb + kSbBlocksPerGroup);
  firstDataBlock = fsbmp::decodeLE32(sb + kSbFirstDataBlock);
  inodesPerGroup = fsbmp::decodeLE32(sb + kSbInodesPerGroup);

  if (blocksPerGroup == 0 || inodesPerGroup == 0 || blocks == 0)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "Superblock of %s is corrupt.", path);
  if (blocks > static_cast<uint64_t>(INT64_MAX / blockSize)) {
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                   "Superblock of %s is corrupt: %llu blocks of %d bytes are more "
                                   "than a device can hold",
                                   path, static_cast<unsigned long long>(blocks), blockSize);
  }
  blockCount = static_cast<long long>(blocks);
  fsSize = static_cast<long long>(blockSize) * blockCount;

  // Under bigalloc a bitmap bit stands for a cluster of 2^clusterBits blocks.
  bitsPerGroup = blocksPerGroup;
  if (bigalloc) {
    const uint32_t logClusterSize = fsbmp::decodeLE32(sb + kSbLogClusterSize);
    const uint32_t clustersPerGroup = fsbmp::decodeLE32(sb + kSbClustersPerGroup);
    if (logClusterSize < logBlockSize || logClusterSize > kMaxLogClusterSize ||
        clustersPerGroup == 0 ||
        (static_cast<uint64_t>(clustersPerGroup) << (logClusterSize - logBlockSize)) !=
            blocksPerGroup) {
      return JxErrorUtil::ErrorErrNo(
          HERE, ENOSYS,
          "Superblock of %s is corrupt: clusters of 2^%u KiB with %u per group don't make "
          "groups of %u blocks of 2^%u KiB",
          path, logClusterSize, clustersPerGroup, blocksPerGroup, logBlockSize);
    }
    if (firstDataBlock != 0) {
      return JxErrorUtil::ErrorErrNo(
          HERE, ENOSYS, "Superblock of %s is corrupt: first data block %u with bigalloc", path,
          firstDataBlock);
    }
    clusterBits = logClusterSize - logBlockSize;
    bitsPerGroup = clustersPerGroup;
  }

  // One bitmap block describes one group, whole bytes of it.
  const uint32_t bitmapBits = 8u * static_cast<uint32_t>(blockSize);
  if (bitsPerGroup % 8 != 0 || bitsPerGroup > bitmapBits) {
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                   "Superblock of %s is corrupt: a group of %u %s doesn't fit "
                                   "whole bytes of one %u-bit bitmap block",
                                   path, bitsPerGroup, bigalloc ? "clusters" : "blocks",
                                   bitmapBits);
  }
  if (firstDataBlock >= blocks) {
    return JxErrorUtil::ErrorErrNo(
        HERE, ENOSYS, "Superblock of %s is corrupt: first data block %u is not below %lld blocks",
        path, firstDataBlock, blockCount);
  }

  std::string features;
  if (roCompat & kRoCompatSparseSuper) {
    features += "sparse_super ";
    sparseSuper = true;
  }
  if (compat & kCompatSparseSuper2) {
    features += "sparse_super2 ";
    sparseSuper2 = true;
    backupBgs[0] = fsbmp::decodeLE32(sb + kSbBackupBgs);
    backupBgs[1] = fsbmp::decodeLE32(sb + kSbBackupBgs + 4);
  }
  groupDescSize = kDescSize32;
  if (is64bit) {
    features += "64bit ";
    const uint16_t descSize = fsbmp::decodeLE16(sb + kSbDescSize);
    if (descSize < kDescSize64 || descSize > kMaxDescSize || log2(descSize) <= 0) {
      return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                     "Superblock of %s is corrupt: descriptor size %u is not a "
                                     "power of 2 from %u to %u",
                                     path, descSize, kDescSize64, kMaxDescSize);
    }
    groupDescSize = descSize;
  }
  const uint64_t groups =
      (blocks - firstDataBlock + blocksPerGroup - 1) / static_cast<uint64_t>(blocksPerGroup);
  descsPerBlock = static_cast<uint32_t>(blockSize) / groupDescSize;
  const uint64_t tableBlocks = (groups + descsPerBlock - 1) / descsPerBlock;
  if (groups > UINT32_MAX || tableBlocks > static_cast<uint64_t>(INT32_MAX)) {
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                   "Superblock of %s is corrupt: %llu block groups are more than "
                                   "a descriptor table can hold",
                                   path, static_cast<unsigned long long>(groups));
  }
  groupDescCount = static_cast<uint32_t>(groups);
  descBlocks = static_cast<uint32_t>(tableBlocks);
  firstMetaBg = descBlocks;
  if (incompat & kIncompatMetaBg) {
    features += "meta_bg ";
    metaBg = true;
    const uint32_t sbFirstMetaBg = fsbmp::decodeLE32(sb + kSbFirstMetaBg);
    if (sbFirstMetaBg < descBlocks) firstMetaBg = sbFirstMetaBg;
  }
  if (incompat & kIncompatFlexBg) {
    features += "flex_bg ";
    const uint8_t logGroupsPerFlex = sb[kSbLogGroupsPerFlex];
    groupsPerFlex = logGroupsPerFlex < 32 ? 1u << logGroupsPerFlex : 0;
  }
  revLevel = fsbmp::decodeLE32(sb + kSbRevLevel);

  // BLOCK_UNINIT groups are trusted only where the group descriptors carry checksums, as the
  // kernel does; their metadata is then marked from the geometry instead of a bitmap.
  blockUninitHonoured = (roCompat & (kRoCompatUninitBg | kRoCompatMetadataCsum)) != 0;
  reservedGdtBlocks = fsbmp::decodeLE16(sb + kSbReservedGdtBlocks);
  const uint32_t inodeSize =
      revLevel == 0 ? kGoodOldInodeSize : fsbmp::decodeLE16(sb + kSbInodeSize);
  if (blockUninitHonoured) {
    if (inodeSize < kGoodOldInodeSize || inodeSize > static_cast<uint32_t>(blockSize) ||
        log2(inodeSize) <= 0 || inodesPerGroup > bitmapBits) {
      return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                     "Superblock of %s is corrupt: %u inodes of %u bytes per group "
                                     "don't fit the group's inode bitmap and table",
                                     path, inodesPerGroup, inodeSize);
    }
    inodeTableBlocks = static_cast<uint32_t>(
        (static_cast<uint64_t>(inodesPerGroup) * inodeSize + blockSize - 1) / blockSize);
  }

  debug.Debug(kTag, "   magic=0x%04x", magic);
  debug.Debug(kTag, "   rev_level=%d", static_cast<int>(revLevel));
  debug.Debug(kTag, "   features=%s", features.c_str());
  debug.Debug(kTag, "   block_size=%d", blockSize);
  debug.Debug(kTag, "   block_cnt=%lld (%lldMB)", blockCount, fsSize >> 20);
  debug.Debug(kTag, "   blocks_per_group=%d", static_cast<int>(blocksPerGroup));
  debug.Debug(kTag, "   group_desc_count=%d", static_cast<int>(groupDescCount));
  debug.Debug(kTag, "   group_desc_size=%d", static_cast<int>(groupDescSize));
  debug.Debug(kTag, "   desc_blocks=%d", static_cast<int>(descBlocks));
  debug.Debug(kTag, "   first_data_block=%d", static_cast<int>(firstDataBlock));
  debug.Debug(kTag, "   groups_per_flex=%d", static_cast<int>(groupsPerFlex));
  debug.Debug(kTag, "   first_meta_bg=%d", static_cast<int>(firstMetaBg));

  // A journal that needs replaying: the map is of the file system once replayed. What goes wrong
  // here is kept for getBmp, so that the file system is still recognised for what it is.
  needsRecovery = (incompat & kIncompatRecover) != 0;
  journalInode = (compat & kCompatHasJournal) ? fsbmp::decodeLE32(sb + kSbJournalInode) : 0;
  memcpy(impl_->journalUuid, sb + kSbJournalUuid, sizeof impl_->journalUuid);
  if (needsRecovery) {
    debug.Debug(kTag, "   needs_recovery (journal inode %u)", journalInode);
    if (journalInode == 0) {
      replayError = JxErrorUtil::ErrorErrNo(
          HERE, ENOSYS, "%s needs recovery from its journal, which is on another device", path);
    } else {
      CVoError replay = impl_->replayJournal(HERE, sb);
      if (replay.code < 0)
        replayError = replay.Push(HERE, "Couldn't replay the journal of %s", path);
    }
  }
  return FsParser::init();
}

namespace {

// True when v is base^k for some k >= 1.
bool isPowerOf(uint32_t v, uint32_t base) {
  if (v < base) return false;
  while (v % base == 0) v /= base;
  return v == 1;
}

}  // namespace

bool FsParserExt2::bgHasSuper(unsigned int group) const {
  if (group == 0) return true;
  if (sparseSuper2) return group == backupBgs[0] || group == backupBgs[1];
  if (group == 1) return true;
  if (!sparseSuper) return true;
  if (group % 2 == 0) return false;
  return isPowerOf(group, 3) || isPowerOf(group, 5) || isPowerOf(group, 7);
}

std::string FsParserExt2::journalState() {
  if (!needsRecovery) return journalInode ? "clean" : "";
  if (replayError.code < 0)
    return "needs recovery, which can't be done here: " + replayError.rootMessage();
  std::string state = "needs recovery: " + std::to_string(replayedTransactions) +
                      " transactions (" + std::to_string(replayedBlocks) +
                      " blocks) replayed in memory";
  if (!fastCommitExtents.empty())
    state += ", " + std::to_string(fastCommitExtents.size()) + " fast-commit ranges counted used";
  return state;
}
