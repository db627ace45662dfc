// ext2, ext3 and ext4: superblock, group descriptor table and block bitmaps.
#ifndef FSBMP_FSBMPEXT2_H
#define FSBMP_FSBMPEXT2_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fsbmp/fsbmp.h"

// One group descriptor in host byte order, laid out as the 64-byte on-disk ext4 descriptor. A
// 32-byte descriptor fills the first half; the upper half is then zero.
struct ext4_group_desc_64 {
  uint32_t bg_block_bitmap_lo;
  uint32_t bg_inode_bitmap_lo;
  uint32_t bg_inode_table_lo;
  uint16_t bg_free_blocks_count_lo;
  uint16_t bg_free_inodes_count_lo;
  uint16_t bg_used_dirs_count_lo;
  uint16_t bg_flags;
  uint32_t bg_exclude_bitmap_lo;
  uint16_t bg_block_bitmap_csum_lo;
  uint16_t bg_inode_bitmap_csum_lo;
  uint16_t bg_itable_unused_lo;
  uint16_t bg_checksum;
  uint32_t bg_block_bitmap_hi;
  uint32_t bg_inode_bitmap_hi;
  uint32_t bg_inode_table_hi;
  uint16_t bg_free_blocks_count_hi;
  uint16_t bg_free_inodes_count_hi;
  uint16_t bg_used_dirs_count_hi;
  uint16_t bg_itable_unused_hi;
  uint32_t bg_exclude_bitmap_hi;
  uint16_t bg_block_bitmap_csum_hi;
  uint16_t bg_inode_bitmap_csum_hi;
  uint32_t bg_reserved;

  uint64_t blockBitmap() const {
    return static_cast<uint64_t>(bg_block_bitmap_hi) << 32 | bg_block_bitmap_lo;
  }
  uint64_t inodeBitmap() const {
    return static_cast<uint64_t>(bg_inode_bitmap_hi) << 32 | bg_inode_bitmap_lo;
  }
  uint64_t inodeTable() const {
    return static_cast<uint64_t>(bg_inode_table_hi) << 32 | bg_inode_table_lo;
  }
  uint32_t freeBlocks() const {
    return static_cast<uint32_t>(bg_free_blocks_count_hi) << 16 | bg_free_blocks_count_lo;
  }
  uint32_t freeInodes() const {
    return static_cast<uint32_t>(bg_free_inodes_count_hi) << 16 | bg_free_inodes_count_lo;
  }
};

class FSBMP_API FsParserExt2 : public FsParser {
 public:
  FsParserExt2(const std::string& dev, CVoError* err);
  // Probes the partition or volume that `view` stands for; `dev` names it in messages.
  FsParserExt2(std::shared_ptr<fsbmp::DeviceView> view, const std::string& dev, CVoError* err);
  ~FsParserExt2() override;

  CVoError init(const std::string& dev);
  CVoError getBmp(int chunkSize, void** bmp, long long* bmpSize) override;
  std::string journalState() override;

  // True when `group` is group 0 or carries a superblock backup.
  bool bgHasSuper(unsigned int group) const;
  // Reads `count` descriptor blocks from block `first` into `gdt` (replacing its contents),
  // descsPerBlock records per block; `firstGroup` numbers the first slot in the log.
  CVoError readGDT(uint64_t first, int count, std::vector<ext4_group_desc_64>* gdt,
                   uint32_t firstGroup);

  uint32_t firstDataBlock;  // 1 with 1 KiB blocks, else 0
  uint32_t blocksPerGroup;
  uint32_t inodesPerGroup;
  uint32_t groupDescCount;  // number of block groups
  uint32_t groupDescSize;   // on-disk descriptor size: 32, or s_desc_size under 64bit
  uint32_t descsPerBlock;
  uint32_t descBlocks;  // blocks of the whole descriptor table
  uint32_t revLevel;
  uint32_t groupsPerFlex;
  uint32_t firstMetaBg;   // descriptor blocks lying contiguously behind the superblock
  uint32_t backupBgs[2];  // the groups with superblock backups under sparse_super2
  bool sparseSuper;
  bool sparseSuper2;
  bool metaBg;
  // BLOCK_UNINIT groups are trusted (uninit_bg or metadata_csum); their bitmaps are not read.
  bool blockUninitHonoured;
  uint32_t clusterBits;   // log2 of blocks per cluster; 0 without bigalloc
  uint32_t bitsPerGroup;  // bitmap bits per group: clusters per group (blocks without bigalloc)
  uint32_t reservedGdtBlocks;  // blocks kept behind each table copy for growing it
  uint32_t inodeTableBlocks;   // blocks of one group's inode table
  // Checksums: descriptors carry crc32c under metadata_csum, else crc16 under uninit_bg; block
  // bitmaps carry crc32c under metadata_csum. Both are seeded from the file system's UUID.
  bool metadataCsum;
  bool gdtCsum;
  uint32_t csumSeed;       // crc32c of the UUID, or the superblock's own seed (csum_seed)
  unsigned char uuid[16];  // s_uuid, which seeds crc16
  // The journal: a file system that needs recovery is mapped as replaying its journal would
  // leave it, and never from the blocks on the device alone.
  bool needsRecovery;
  uint32_t journalInode;          // 8; 0 when the journal is on another device
  uint32_t replayedTransactions;  // committed transactions put in place in memory
  uint32_t replayedBlocks;        // distinct blocks they overwrite
  // Fast commits past the last full commit: the block ranges they allocate (add-range records,
  // and the extent trees and extents of the inodes they carry), all counted used.
  std::vector<std::pair<uint64_t, uint64_t>> fastCommitExtents;  // first block, count
  // The external journal's device (ext3/4 keeps it there when journalInode is 0); a file system
  // that needs recovery is mapped from its replay once it is named (errno 38 when `path` is not
  // this file system's journal, 22 for a file system whose journal is its own).
  CVoError setJournalDevice(const std::string& path) override;
  // Every ext2/3/4 file system can be verified (see FsParser::setVerify).
  CVoError setVerify(bool on) override;
  VerifyReport verifyReport() const override;

 protected:
  // The descriptor table, then the blocks before the first group, then every initialised
  // group's block bitmap (by the whole-byte walk where a chunk spans whole bitmap bytes, else
  // by the bit walk), then the metadata of BLOCK_UNINIT groups.
  CVoError walkBitmap(const JxCodeLocation& where, const ChunkLayout& layout,
                      unsigned char* bitmap) override;
  // Room for nChunks and for the chunks that all groups span: the whole-byte walk converts every
  // bit of the last group's bitmap, past the file system's end too.
  uint64_t bitmapBytes(const ChunkLayout& layout) const override;

 private:
  // The external journal's UUID and device, the state of the file scan that setVerify asks for,
  // and the checksums, journal replay, descriptor-table gathering, walks, their hints and checks
  // that use them (src/ext2/fsbmpExt2Impl.h).
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

#endif
