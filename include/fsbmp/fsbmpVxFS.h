// VxFS, read through its file-system debugger: the parser tests the superblock magic on the
// device itself and asks fsdb, run as a child on a pseudo-terminal, for everything else.
#ifndef FSBMP_FSBMPVXFS_H
#define FSBMP_FSBMPVXFS_H

#include <memory>
#include <string>

#include "fsbmp/fsbmp.h"

class FSBMP_API FsParserVxFS : public FsParser {
 public:
  FsParserVxFS(const std::string& dev, CVoError* err);
  // For a partition or volume of a disk: refused, since fsdb reads only what it can open by
  // path. `dev` names it in messages.
  FsParserVxFS(std::shared_ptr<fsbmp::DeviceView> view, const std::string& dev, CVoError* err);
  // Closes both descriptors to fsdb (fsdb ends on the hang-up of its terminal) and frees auFree.
  ~FsParserVxFS() override;

  CVoError init(const std::string& dev);
  CVoError getBmp(int chunkSize, void** bmp, long long* bmpSize) override;

  // Sends `cmd` (with its line feed; empty: send nothing) and collects fsdb's output up to its
  // next prompt "> " into *answer, within 60 seconds.
  CVoError talkToFSDB(const std::string& cmd, std::string* answer);
  // Reads file-system block `block` through fsdb's hexadecimal dump; buf holds blockSize bytes.
  CVoError readBlock(long long block, void* buf);

  int fsdbFd;             // pseudo-terminal master: fsdb's standard input and output
  int fsdbErrFd;          // read end of the pipe that is fsdb's standard error
  int ifeauIno;           // IFEAU inode of the structural fileset, -1 until found
  int ifempIno;           // IFEMP inode of the structural fileset, -1 until found
  int auBlocks;           // blocks per allocation unit
  int auCnt;              // number of allocation units
  unsigned char* auFree;  // per unit: 1 = wholly free, 0 = otherwise (auCnt entries)

 protected:
  // The IFEMP maps of every group of the units that are not wholly free, read through fsdb.
  CVoError walkBitmap(const JxCodeLocation& where, const ChunkLayout& layout,
                      unsigned char* bitmap) override;
  // Room also for the chunks of the last group's blocks past the end of the file system.
  uint64_t bitmapBytes(const ChunkLayout& layout) const override;

 private:
  // What the exchange with fsdb keeps to itself (src/vxfs/fsbmpVxFSImpl.h).
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

#endif
