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

// What a replay found, for the debug log and the caller.
struct ReplaySummary {
  uint32_t transactions = 0;  // committed transactions replayed
  uint32_t blocks = 0;        // distinct file-system blocks overlaid
  uint32_t revoked = 0;       // tagged copies skipped because a later revoke covers them
  uint32_t firstSequence = 0;
  uint32_t endSequence = 0;  // the first sequence number the log does not hold
  uint64_t endBlock = 0;     // journal block where the log ended
};

}  // namespace ext2
}  // namespace fsbmp

#endif
