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

// Where the post-replay contents of one file-system block lie.
struct JournalCopy {
  uint64_t at;   // device block holding the copy (in the journal)
  bool escaped;  // the copy's first four bytes stand for the journal magic
};

// A file system as replaying its journal would leave it: reads of the blocks in `copies` come
// from their journal copies, everything else from the view underneath.
class JournalOverlay : public DeviceView {
 public:
  JournalOverlay(std::shared_ptr<DeviceView> under, int blockSize,
                 std::map<uint64_t, JournalCopy> copies);
  CVoError readAt(int64_t offset, void* buf, uint32_t size, uint32_t* got) override;
  CVoError length(int64_t* bytes) override { return under_->length(bytes); }

 private:
  std::shared_ptr<DeviceView> under_;
  int blockSize_;
  std::map<uint64_t, JournalCopy> copies_;
};

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
