// btrfs: logical space in chunks laid over one or more devices (single, DUP, RAID0/1/10/5/6,
// RAID1C3/4), each chunk a block group whose used extents the extent tree (or the free-space
// tree) lists. The map is of this device alone: each used logical range marked where its copies
// and parity lie on it.
#ifndef FSBMP_FSBMPBTRFS_H
#define FSBMP_FSBMPBTRFS_H

#include <memory>
#include <string>
#include <vector>

#include "fsbmp/fsbmp.h"

class FSBMP_API FsParserBtrfs : public FsParser {
 public:
  FsParserBtrfs(const std::string& dev, CVoError* err);
  // Probes the partition or volume that `view` stands for; `dev` names it in messages.
  FsParserBtrfs(std::shared_ptr<fsbmp::DeviceView> view, const std::string& dev, CVoError* err);
  ~FsParserBtrfs() override;

  // Reads the superblock and its mirrors (the newest copy that verifies wins) and the chunks of
  // the system array. Refuses (errno 38) features that change where data lies (zoned, the
  // raid-stripe tree, extent tree v2, seed devices) and any incompatible flag it doesn't know.
  CVoError init(const std::string& dev);
  // Marks, on this device, every copy and parity strip of the used extents of each block group,
  // the superblock copies, the first MiB, and whatever it can't account for. With a log tree,
  // its blocks and the extents its file items name are used too.
  CVoError getBmp(int chunkSize, void** bmp, long long* bmpSize) override;
  // "log tree present (replayed at mount)" or "clean (no log tree)".
  std::string journalState() override;
  // Another device of this file system, whose copies of tree blocks the walk may read where
  // this device holds none (errno 22 for a device of another file system or this one again).
  CVoError addMember(const std::string& path) override;
  std::vector<Property> properties() override;

 protected:
  CVoError walkBitmap(const JxCodeLocation& where, const ChunkLayout& layout,
                      unsigned char* bitmap) override;

 public:
  // The superblock, the chunk map, the members and the tree reads (src/btrfs/fsbmpBtrfsImpl.h).
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

#endif
