// ext3/ext4 journal (JBD2) replay in memory: which file-system blocks a replay would overwrite,
// and with which journal block, read through a view that puts them in place. Nothing is written.
#ifndef FSBMP_EXT2_JOURNAL_H
#define FSBMP_EXT2_JOURNAL_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "core/device_view.h"

namespace fsbmp {
namespace ext2 {

// Journal logical blocks mapped to device blocks, as the journal inode's extents or indirect
// blocks give them.
struct JournalExtent {
  uint64_t logical;
  uint64_t physical;
  uint64_t count;
};

// Where the journal's blocks are: in the file system's journal inode, or on the external
// journal device that the caller named.
struct JournalSource {
  // Reads journal block j (one file-system block).
  std::function<CVoError(uint64_t j, unsigned char* buf)> read;
  // The block of copiesFrom (or of the file system's device) that holds journal block j, or
  // UINT64_MAX where no block does.
  std::function<uint64_t(uint64_t j)> deviceBlock;
  uint64_t superblock = 0;                 // journal block of the journal superblock
  std::shared_ptr<DeviceView> copiesFrom;  // null: the file system's own device
};

}  // namespace ext2
}  // namespace fsbmp

#endif
