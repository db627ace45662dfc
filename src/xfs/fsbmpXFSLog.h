// An XFS log: its state as the kernel's mount would find it (where its head and tail are,
// and whether it ends in a clean unmount), and its replay in memory.
#ifndef FSBMP_FSBMPXFSLOG_H
#define FSBMP_FSBMPXFSLOG_H

#include <cstdint>
#include <string>

#include "fsbmp/fsbmp.h"
#include "xfs/fsbmpXFSLogInode.h"

namespace fsbmp {

class DeviceView;
class MemoryOverlay;

struct XfsLogState {
  bool zeroed = false;      // no record was ever written (every basic block has cycle 0)
  bool clean = false;       // zeroed, or the last record is an unmount record right before the head
  int64_t head = 0;         // log basic block (512 bytes) where the next record would go
  int64_t tail = 0;         // log basic block recovery would start from (the head when clean)
  int64_t lastRecord = -1;  // log basic block of the last record header before the head
  uint32_t headCycle = 0;   // cycle of the last record
};

// Where the log lies and what its records must match.
struct XfsLogPlace {
  // The device that holds the log: null for the file system's own (read through the parser),
  // or the external log device that the caller named.
  DeviceView* device = nullptr;
  int64_t start = 0;            // first 512-byte basic block of the log on that device
  int64_t blocks = 0;           // its length in basic blocks
  bool hasCRC = false;          // version 5: every record carries a CRC-32C
  unsigned char uuid[16] = {};  // the superblock's UUID, which records name
};

// Reads `count` basic blocks of the log from its basic block `bb` (not past its end) into `buf`.
CVoError readXfsLog(FsParser& parser, const XfsLogPlace& place, int64_t bb, int64_t count,
                    void* buf);

// Hints `count` basic blocks of the log from its basic block `bb` (cut at its end) to the kernel.
void hintXfsLog(FsParser& parser, const XfsLogPlace& place, int64_t bb, int64_t count);
// True when basic block `bb` of the log is in the page cache already.
bool xfsLogCached(FsParser& parser, const XfsLogPlace& place, int64_t bb);

// Finds head, tail and state of the log at `place`. A log whose head or last record cannot be
// found, or whose last record names another file system, is refused as damaged (errno 38);
// errors name `where`.
CVoError inspectXfsLog(const JxCodeLocation& where, FsParser& parser, const XfsLogPlace& place,
                       XfsLogState* state);

// What a replay did.
struct XfsReplay {
  int64_t head = 0;            // log basic block where the replay ended
  int64_t tail = 0;            // and where it began
  bool torn = false;           // the head moved back over records whose writes did not finish
  uint32_t records = 0;        // records read
  uint32_t transactions = 0;   // committed transactions
  uint64_t buffers = 0;        // buffer items put in place
  uint64_t cancelled = 0;      // buffer items a later cancel record voids
  uint64_t current = 0;        // buffer items the device already holds as new (version 5)
  uint64_t inodes = 0;         // inode items put in place
  uint64_t inodesCreated = 0;  // inode-create items put in place
};

// Replays the log from state.tail to state.head as the kernel's recovery would, into `overlay`
// (which must read the parser's device as it stands): each committed buffer item is applied, by
// its map of 128-byte pieces, to what the device (or an earlier item) holds, unless a later
// record cancels it or, on version 5, the device's copy is already as new. Only the buffers of
// the free-space maps (AGF and by-block tree blocks) are kept in memory, unless `inodes` is given:
// then every buffer is kept, and inode-create and inode items are applied too, so that the inodes
// and every tree read as mounting would leave them. A record whose CRC fails
// among the last ones before the head is a write that did not finish: the head moves back to it.
// Anything else the recovery could not read (a CRC failure further back, a record of another
// file system, an item of unknown type, a record cut short) is refused with errno 38.
CVoError replayXfsLog(const JxCodeLocation& where, FsParser& parser, const XfsLogPlace& place,
                      const XfsLogState& state, const XfsInodeShape* inodes, MemoryOverlay* overlay,
                      XfsReplay* replay);

}  // namespace fsbmp

#endif
