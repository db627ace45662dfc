// The state of an XFS internal log as the kernel's mount would find it: where its head and tail
// are, and whether it ends in a clean unmount. Nothing is replayed here.
#ifndef FSBMP_FSBMPXFSLOG_H
#define FSBMP_FSBMPXFSLOG_H

#include <cstdint>
#include <string>

#include "fsbmp/fsbmp.h"

namespace fsbmp {

struct XfsLogState {
  bool zeroed = false;      // no record was ever written (every basic block has cycle 0)
  bool clean = false;       // zeroed, or the last record is an unmount record right before the head
  int64_t head = 0;         // log basic block (512 bytes) where the next record would go
  int64_t tail = 0;         // log basic block recovery would start from (the head when clean)
  int64_t lastRecord = -1;  // log basic block of the last record header before the head
  uint32_t headCycle = 0;   // cycle of the last record
};

// Finds head, tail and state of the log of `logBasicBlocks` 512-byte basic blocks that starts at
// basic block `logStart` of the parser's device, reading through parser.readBlocks. A log whose
// head or last record cannot be found is refused as damaged (errno 38); errors name `where`.
CVoError inspectXfsLog(const JxCodeLocation& where, FsParser& parser, int64_t logStart,
                       int64_t logBasicBlocks, XfsLogState* state);

}  // namespace fsbmp

#endif
