// ext3/ext4 journal (JBD2) replay in memory: which file-system blocks a replay would overwrite,
// and with which journal block, read through a view that puts them in place. Nothing is written.
#ifndef FSBMP_EXT2_JOURNAL_H
#define FSBMP_EXT2_JOURNAL_H

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "device_view.h"

namespace fsbmp {
namespace ext2 {

// Journal logical blocks mapped to device blocks, as the journal inode's extents or indirect
// blocks give them.
struct JournalExtent {
  uint64_t logical;
  uint64_t physical;
  uint64_t count;
};

}  // namespace ext2
}  // namespace fsbmp

#endif
