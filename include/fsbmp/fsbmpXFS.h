// XFS, version 4 and version 5 (CRC) file systems: every allocation group (AG) keeps its free
// space in a by-block B+tree; the used-chunk bitmap is everything those trees do not list.
#ifndef FSBMP_FSBMPXFS_H
#define FSBMP_FSBMPXFS_H

#include <cstdint>
#include <memory>
#include <string>

#include "fsbmp/fsbmp.h"

namespace fsbmp {
class MemoryOverlay;  // a log replayed in memory; internal to the library
}

class FSBMP_API FsParserXFS : public FsParser {
 public:
  FsParserXFS(const std::string& dev, CVoError* err);
  // Probes the partition or volume that `view` stands for; `dev` names it in messages.
  FsParserXFS(std::shared_ptr<fsbmp::DeviceView> view, const std::string& dev, CVoError* err);
  ~FsParserXFS() override;

  // Reads the superblock and the superblock copy and AGF of every AG.
  CVoError init(const std::string& dev);
  // Starts with every chunk used and clears the chunks that lie wholly inside a free extent.
  // A log that needs recovery is replayed in memory first (readLog), and a chunk is used when
  // the trees call it used either as the replay leaves them or as the device holds them. Refuses
  // (errno 38) a file system whose log is on another device, or a log that can't be replayed.
  CVoError getBmp(int chunkSize, void** bmp, long long* bmpSize) override;
  std::string journalState() override;
  // Finds the state of the internal log and, when it needs recovery, replays it in memory:
  // every later read of the free-space trees sees them as mounting would leave them. Done once
  // per parser; getBmp calls it.
  CVoError readLog();
  // The external log device of a file system whose superblock puts its log on another device
  // (errno 22 for one with an internal log, or once the log has been read).
  CVoError setJournalDevice(const std::string& path) override;
  // True once an external log's device has been named.
  bool logDeviceNamed() const { return logDevice != nullptr; }

  // Descends the by-block free-space tree of the AG that begins at device block `agStart`,
  // from its AG-relative block `node`, to the leaf that covers AG-relative block `target`;
  // on success nodeBuf holds that leaf.
  CVoError findLeaf(unsigned int target, long long agStart, unsigned int node);
  // Checks the CRC-32C of one version-5 tree block of blockSize bytes; passes anything on
  // version 4, whose blocks carry no checksum.
  CVoError verifyBlockCRC32C(const void* block);

  std::unique_ptr<uint32_t[]> agRoots;       // per AG: root block of its by-block tree
  std::unique_ptr<uint32_t[]> agLengths;     // per AG: its length in blocks
  std::unique_ptr<uint32_t[]> agFreeBlocks;  // per AG: its free blocks, as its AGF counts them
  std::unique_ptr<unsigned char[]> nodeBuf;  // one block: AG headers, then tree blocks
  uint32_t agBlocks;                         // blocks per AG (the last may be shorter)
  uint32_t agCount;
  bool hasCRC;  // version 5: long tree-block headers with a CRC-32C
  // Where the superblock puts the internal log: its first block as an AG-encoded file-system
  // block number (AG number above agBlockLog bits, block in the AG below), 0 when the log is on
  // another device; and its length in blocks.
  uint64_t logStart;
  uint32_t logBlocks;
  int agBlockLog;
  // What readLog found: a log that needed recovery, and what its replay put in place.
  bool logNeedsRecovery = false;
  uint32_t replayedTransactions = 0;
  uint64_t replayedBuffers = 0;

 protected:
  CVoError walkBitmap(const JxCodeLocation& where, const ChunkLayout& layout,
                      unsigned char* bitmap) override;

 private:
  // The length of the AG that begins at device block `agStart`: what pointers into it must stay
  // below.
  uint32_t agLimit(long long agStart) const;
  // The walk's reads of a leaf, after their hints: the AG's first leaf (through findLeaf from its
  // root), and the right sibling `sibling` of the leaf in hand.
  CVoError firstLeaf(uint32_t ag);
  CVoError nextLeaf(const JxCodeLocation& where, long long agStart, uint32_t agLength,
                    uint32_t sibling);
  // Hint the superblock copies and AGFs (hintAgHeaders) or the tree roots (hintRoots) of the AGs
  // from *hinted (at least `from`) up to a window past `from`, once half of the window before is
  // read; *hinted becomes the first AG not hinted.
  void hintAgHeaders(uint32_t from, uint32_t* hinted);
  void hintRoots(uint32_t from, uint32_t* hinted);
  // Hints the children from slot `from` to `keys` of the tree node `node` in the AG that begins
  // at device block `agStart`, skipping those not below `limit`; false when the page cache holds
  // the last of them already and nothing was hinted.
  bool hintChildren(const unsigned char* node, uint32_t keys, uint32_t from, long long agStart,
                    uint32_t limit);
  // At the node above the leaves, whose child at slot `from` the walk reads first: hints the
  // children and keeps what hintNextLeaves needs (how many are left, the node to the right).
  void hintLeavesBelow(const unsigned char* node, uint32_t keys, uint32_t from, long long agStart,
                       uint32_t limit);
  // Before the walk reads the next leaf of the AG that begins at device block `agStart` (of
  // `limit` blocks): once the leaves hinted from the node above are used up, reads that node's
  // right sibling (a taller tree's next node above the leaves) and hints its children.
  void hintNextLeaves(long long agStart, uint32_t limit);
  // Bytes of the short-form tree-block header: 56 with CRCs, 16 without.
  int treeHeaderSize() const;
  // The magic a tree block must carry: "AB3B" with CRCs, "ABTB" without.
  uint32_t treeMagic() const;
  // Finds the state of the internal log and replays it when it needs recovery; refuses a log on
  // another device or one that can't be replayed. Errors name `where`.
  CVoError checkLog(const JxCodeLocation& where);
  // checkLog's verdict, found once.
  CVoError logOnce(const JxCodeLocation& where);
  // Reads the superblock copy and AGF of every AG (through the replay, once there is one).
  CVoError readAgHeaders(const JxCodeLocation& where);
  // The walk of the by-block trees.
  CVoError walkTrees(const JxCodeLocation& where, const ChunkLayout& layout, unsigned char* bitmap);
  // True when the replay rebuilt any of `bytes` bytes at `offset` and reads go through it: such
  // a block carries the checksum of its older contents.
  bool isReplayed(long long offset, int bytes) const;
  // Reads device block `block` into nodeBuf and checks its magic and checksum, in that order;
  // errors carry the location `where` of the caller.
  CVoError readTreeBlock(const JxCodeLocation& where, long long block);
  // The log's verdict, found by the first getBmp and kept: the log is read once per parser.
  bool logChecked = false;
  CVoError logVerdict;
  std::shared_ptr<fsbmp::MemoryOverlay> replayed;  // the log's replay, when it needed one
  // The external log's device, once named.
  std::unique_ptr<CVoFile> logDeviceFile;
  std::shared_ptr<fsbmp::DeviceView> logDevice;
  std::string logDevicePath;
  uint32_t rootsHinted = 0;  // the first AG whose root the walk has not hinted
  // Leaves hinted from the node above them that the walk has yet to reach, and the right sibling
  // of that node, whose children come next (none: 0xFFFFFFFF); a block for reading it.
  uint32_t leavesAhead = 0;
  uint32_t nextParent = 0xFFFFFFFF;
  std::unique_ptr<unsigned char[]> parentBuf;
  int sectorBytes = 0;
  unsigned char uuid[16] = {};
};

#endif
