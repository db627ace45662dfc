// XFS, version 4 and version 5 (CRC) file systems: every allocation group (AG) keeps its free
// space in a by-block B+tree; the used-chunk bitmap is everything those trees do not list.
#ifndef FSBMP_FSBMPXFS_H
#define FSBMP_FSBMPXFS_H

#include <cstdint>
#include <memory>
#include <string>

#include "fsbmp/fsbmp.h"

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
  bool logDeviceNamed() const;
  // XFS can be verified (see FsParser::setVerify): each getBmp then reads every inode the inode
  // trees hold in use and marks what their forks name, and the blocks of every tree of each AG,
  // its AGFL and the internal log. Runs are reported in blocks from the device's start (AG
  // number times AG blocks, plus the block in the AG). Extents of realtime files lie on the
  // realtime device and are not marked.
  CVoError setVerify(bool on) override;
  VerifyReport verifyReport() const override;

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
  // The log's verdict and replay, the external log's device, the walk's read-ahead cursors, and
  // the header reads, log check, walk and hints that use them (src/xfs/fsbmpXFSImpl.h).
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

#endif
