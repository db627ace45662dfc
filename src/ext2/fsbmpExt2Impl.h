// What the ext2/3/4 parser keeps out of its installed header: the external journal's UUID and
// device, the state of the file scan that setVerify asks for, and the functions of the probe's
// checksums, the journal's replay, the descriptor table, the walks and their hints and checks that
// use them. Each works on the parser it belongs to (`fs`): its geometry, its feature flags, its
// reads.
#ifndef FSBMP_FSBMPEXT2IMPL_H
#define FSBMP_FSBMPEXT2IMPL_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fsbmp/fsbmpExt2.h"

namespace fsbmp {
namespace ext2 {
struct JournalSource;
}  // namespace ext2
}  // namespace fsbmp

// Hidden: none of it is the library's interface, though the parser it belongs to is exported.
struct __attribute__((visibility("hidden"))) FsParserExt2::Impl {
  explicit Impl(FsParserExt2& parser) : fs(parser) {}
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Builds the overlay of the blocks that replaying the journal would put in place: the
  // journal in the journal inode, then, once found, its log from wherever it lies.
  CVoError replayJournal(const JxCodeLocation& where, const unsigned char* sb);
  CVoError replayLog(const JxCodeLocation& where, const fsbmp::ext2::JournalSource& source);
  // The external journal on the device at `path`, checked to be this file system's.
  CVoError replayExternal(const JxCodeLocation& where, const std::string& path);
  // The walk itself, over whichever view the parser reads through.
  CVoError walkMaps(const JxCodeLocation& where, const ChunkLayout& layout, unsigned char* bitmap);
  // The scan of every file (setVerify) around the walk of the maps (`walk`): marks what the files
  // use and, on the first walk of a getBmp, records what the maps (`gdt` as the walk read it)
  // call free, comparing each bitmap as the walk reads it (onBitmapRead).
  CVoError verifyFiles(const JxCodeLocation& where, const std::vector<ext4_group_desc_64>& gdt,
                       uint32_t chunkShift, unsigned char* bitmap,
                       const std::function<CVoError()>& walk);
  // Takes the checksum settings from the superblock `sb` and, under metadata_csum, checks the
  // superblock's own checksum. Errors here and below name `where`, the caller.
  CVoError setUpChecksums(const JxCodeLocation& where, const unsigned char* sb);
  // Checks the descriptor of `group` (descriptor-size bytes at `raw`) against its checksum.
  CVoError verifyDescCsum(const JxCodeLocation& where, uint32_t group, const unsigned char* raw);
  // Checks a group's block bitmap against the checksum in its descriptor (metadata_csum).
  CVoError verifyBitmapCsum(const JxCodeLocation& where, uint32_t group,
                            const ext4_group_desc_64& desc, const unsigned char* data);
  CVoError gatherGDT(const JxCodeLocation& where, std::vector<ext4_group_desc_64>* gdt);
  // Reads group g's bitmap and those of the groups after it whose bitmaps follow in the next
  // blocks, up to `most`, in one request; checks each (checkGroupBitmap); *count receives how many
  // were read.
  CVoError readGroupBitmaps(const JxCodeLocation& where, const std::vector<ext4_group_desc_64>& gdt,
                            uint32_t g, uint32_t most, unsigned char* into, uint32_t* count,
                            bool countFree);
  CVoError readGroupBitmap(const JxCodeLocation& where, uint32_t group,
                           const ext4_group_desc_64& desc, unsigned char* into, bool countFree);
  // Hints the bitmaps of the groups up to kAheadGroups past `from` to the kernel (willReadBlocks),
  // those from *hinted on; *hinted becomes the first group not hinted.
  void hintBitmaps(const std::vector<ext4_group_desc_64>& gdt, uint32_t from, uint32_t* hinted);
  // Checks the checksum (metadata_csum) of a group's bitmap block and, with `countFree`, compares
  // its clear bits with its descriptor's free count; without, the caller counts as it walks.
  CVoError checkGroupBitmap(const JxCodeLocation& where, uint32_t group,
                            const ext4_group_desc_64& desc, const unsigned char* data,
                            bool countFree);
  // Compares the used bits counted in a group's bitmap block with its descriptor's free count.
  CVoError checkFreeCount(const JxCodeLocation& where, uint32_t group,
                          const ext4_group_desc_64& desc, uint64_t usedBits);
  CVoError bitWalk(const JxCodeLocation& where, const std::vector<ext4_group_desc_64>& gdt,
                   unsigned char* bitmap, uint32_t chunkShift);
  CVoError byteWalk(const JxCodeLocation& where, const std::vector<ext4_group_desc_64>& gdt,
                    unsigned char* bitmap, uint32_t unitBytes);
  void markUninitMetadata(const std::vector<ext4_group_desc_64>& gdt, unsigned char* bitmap,
                          uint32_t chunkShift) const;
  // Clears BLOCK_UNINIT, in the walk's copy of the table, from every group whose descriptor
  // contradicts it (a free count other than an uninitialised group's), so that its bitmap is read
  // and checked like any other group's.
  void distrustContradictedUninit(std::vector<ext4_group_desc_64>* gdt);
  // Blocks of group g's superblock copy and descriptor blocks, from groupMetaStart(g).
  uint64_t superAndDescBlocks(uint32_t g) const;
  // Marks the chunks of blocks [first, first + count), whole clusters, cut at the file system's
  // end.
  void markBlocks(unsigned char* bitmap, uint64_t first, uint64_t count, uint32_t chunkShift) const;
  bool skipsBitmap(const ext4_group_desc_64& desc) const;
  // Bitmap blocks that one read request takes at most.
  uint32_t batchBlockCount() const;
  // The block where group g starts its metadata: its superblock copy, if any, then its
  // descriptor blocks. Group 0 of a 1 KiB-block file system that starts at block 0 (bigalloc)
  // keeps block 0 for boot code and has its superblock in block 1.
  uint64_t groupMetaStart(uint32_t g) const;

  FsParserExt2& fs;
  unsigned char journalUuid[16] = {};    // s_journal_uuid: the external journal's own UUID
  std::unique_ptr<CVoFile> journalFile;  // the external journal's device, once named
  std::shared_ptr<fsbmp::DeviceView> journalView;
  // The scan of the files that setVerify asks for: whether it is on, and what its last getBmp
  // found. A getBmp may walk more than one view (the journal replayed, then the device as it
  // stands): only its first walk records the report, the others only add to the map.
  bool verifyOn = false;
  bool verifyRecorded = false;
  VerifyReport verifyReport;
  // While the scan records: told of every group's block bitmap that the walk reads, once its
  // checksum holds.
  std::function<void(uint32_t, const unsigned char*)> onBitmapRead;
};

#endif
