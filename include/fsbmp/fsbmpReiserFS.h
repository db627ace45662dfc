// ReiserFS (format 3.6, magic "ReIsEr2Fs").
#ifndef FSBMP_FSBMPREISERFS_H
#define FSBMP_FSBMPREISERFS_H

#include <cstdint>
#include <memory>
#include <string>

#include "fsbmp/fsbmp.h"

class FSBMP_API FsParserReiserFS : public FsParser {
 public:
  FsParserReiserFS(const std::string& dev, CVoError* err);
  // Probes the partition or volume that `view` stands for; `dev` names it in messages.
  FsParserReiserFS(std::shared_ptr<fsbmp::DeviceView> view, const std::string& dev, CVoError* err);
  ~FsParserReiserFS() override;

  CVoError init(const std::string& dev);
  // Maps the file system as replaying its journal would leave it; refuses (errno 38) a journal
  // that can't be replayed or lies on another device: the bitmaps lack what it allocates.
  CVoError getBmp(int chunkSize, void** bmp, long long* bmpSize) override;
  std::string journalState() override;

  uint32_t bitsPerBitmap;         // blocks described by one bitmap block
  uint32_t firstBitmapBlock;      // block holding bitmap block 0, right after the superblock's
  uint32_t bitmapCount;           // number of bitmap blocks
  uint32_t journalFirstBlock;     // the journal's first block; its header follows its last
  uint32_t journalDevice;         // 0: the journal is on this device
  uint32_t journalSize;           // blocks, without the header
  uint32_t replayedTransactions;  // journal transactions put in place in memory

 protected:
  CVoError walkBitmap(const JxCodeLocation& where, const ChunkLayout& layout,
                      unsigned char* bitmap) override;

 private:
  // The journal's replay, the walk and the probe's read-ahead hints
  // (src/reiserfs/fsbmpReiserFSImpl.h).
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

#endif
