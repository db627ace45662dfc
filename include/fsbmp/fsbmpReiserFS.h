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
  // Refuses (errno 38) a file system whose journal holds transactions not yet written back, or
  // whose journal is on another device: the bitmaps lack the allocations those transactions make.
  CVoError getBmp(int chunkSize, void** bmp, long long* bmpSize) override;

  uint32_t bitsPerBitmap;      // blocks described by one bitmap block
  uint32_t firstBitmapBlock;   // block holding bitmap block 0, right after the superblock's
  uint32_t bitmapCount;        // number of bitmap blocks
  uint32_t journalFirstBlock;  // the journal's first block; its header follows its last
  uint32_t journalDevice;      // 0: the journal is on this device
  uint32_t journalSize;        // blocks, without the header

 protected:
  CVoError walkBitmap(const JxCodeLocation& where, const ChunkLayout& layout,
                      unsigned char* bitmap) override;

 private:
  // Refuses unless the journal holds no transaction that a mount or reiserfsck would replay.
  // Errors name `where`.
  CVoError checkJournal(const JxCodeLocation& where);
  // Block number of bitmap block i.
  long long bitmapBlock(uint32_t i) const {
    return i == 0 ? firstBitmapBlock : static_cast<long long>(i) * bitsPerBitmap;
  }
};

#endif
