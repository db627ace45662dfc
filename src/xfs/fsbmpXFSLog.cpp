// Head and tail of an XFS log found the way the kernel's mount finds them (xlog_find_head and
// xlog_find_tail): the first word of every 512-byte basic block of the log carries the cycle
// number of the pass over the log that wrote it (in a record header the magic comes first and
// the cycle second). The head is where the cycle drops by one, or where a never-wrapped log turns
// to zeros; a clean log ends, right before its head, in a record of one unmount operation.
#include "xfs/fsbmpXFSLog.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "core/coding.h"
#include "core/device_view.h"
#include "core/location.h"
#include "xfs/fsbmpXFSLogFormat.h"

namespace {

using namespace fsbmp::xlog;

// How far behind a head the kernel verifies: all in-core log buffers in flight at once (eight
// of the largest records), and one largest record.
const int64_t kInFlightBlocks = 8 * (kMaxRecordSize / kBasicBlock);
const int64_t kRecordBlocks = kMaxRecordSize / kBasicBlock;
// Basic blocks read at once by the scans.
const int64_t kScanPiece = 128;
// Steps of the head's binary search whose reads are hinted ahead: the first step hints the
// 2^(k+1) - 2 places that the next k steps may read, each later step the 2^k new ones; one place
// per step is read.
const int kSearchAhead = 2;

uint32_t cycleOf(const unsigned char* bb) {
  if (fsbmp::decodeBE32(bb + kOffRecMagic) == kRecordMagic)
    return fsbmp::decodeBE32(bb + kOffRecCycle);
  return fsbmp::decodeBE32(bb);
}

class LogReader {
 public:
  LogReader(const JxCodeLocation& where, FsParser& parser, const fsbmp::XfsLogPlace& place)
      : where_(where), parser_(parser), place_(place), size_(place.blocks) {}

  CVoError findHead(fsbmp::XfsLogState* s);
  CVoError findTail(fsbmp::XfsLogState* s);

 private:
  // Reads `count` basic blocks from log basic block `bb` into buf_.
  CVoError read(int64_t bb, int64_t count);
  // Hints the `count` basic blocks of the log before basic block `end` (wrapping past its start)
  // to the kernel: the window the head and tail checks then read, backwards as often as not.
  void hintBefore(int64_t end, int64_t count);
  // Hints the basic blocks that the next `depth` steps of cycleStart's search may read after the
  // step that reads `mid` of (first, end); with `deepestOnly`, only those of the last of them.
  void hintSearch(int64_t first, int64_t mid, int64_t end, int depth, bool deepestOnly);
  CVoError cycleAt(int64_t bb, uint32_t* cycle);
  // The first basic block in [from, from + count) whose cycle is `cycle`, or -1.
  CVoError findCycle(int64_t from, int64_t count, uint32_t cycle, int64_t* found);
  // Binary search for the first basic block of cycle `cycle` between `first` (of another cycle)
  // and *last (of that cycle); *last becomes it.
  CVoError cycleStart(int64_t first, int64_t* last, uint32_t cycle);
  // Looks back from *last - 1 down to `from` for a record header. When the record found does not
  // end exactly `extra` basic blocks before *last, *last moves back to its header: a record
  // whose write did not finish is not part of the log. *hitStart: the scan ran past basic block
  // 0 without finding one (from must be 0 then). A scan that ends at `from` > 0 without a header
  // means a damaged log.
  CVoError backToRecord(int64_t from, int64_t* last, int64_t extra, bool* hitStart);
  CVoError damaged(const char* what, int64_t bb);

  JxCodeLocation where_;
  FsParser& parser_;
  fsbmp::XfsLogPlace place_;
  int64_t size_;
  std::vector<unsigned char> buf_;
  bool hints_ = true;  // false when the log is in the page cache already
};

}  // namespace

namespace {

CVoError LogReader::damaged(const char* what, int64_t bb) {
  return JxErrorUtil::ErrorErrNo(
      FSBMP_AT(where_), ENOSYS,
      "XFS log of %s is damaged: %s (at log block %lld of %lld); it cannot be told whether it "
      "needs recovery",
      parser_.devPath.c_str(), what, static_cast<long long>(bb % size_),
      static_cast<long long>(size_));
}

CVoError LogReader::read(int64_t bb, int64_t count) {
  buf_.resize(static_cast<size_t>(count) * kBasicBlock);
  CVoError err = fsbmp::readXfsLog(parser_, place_, bb, count, buf_.data());
  if (err.code < 0) {
    return err.Push(FSBMP_AT(where_), "Couldn't read XFS log blocks %lld to %lld of %s",
                    static_cast<long long>(bb), static_cast<long long>(bb + count - 1),
                    parser_.devPath.c_str());
  }
  return CVoError();
}

void LogReader::hintBefore(int64_t end, int64_t count) {
  if (!hints_) return;
  if (count > size_) count = size_;
  if (end < 0 || end > size_ || count <= 0) return;
  if (count > end) fsbmp::hintXfsLog(parser_, place_, size_ - (count - end), count - end);
  const int64_t from = count > end ? 0 : end - count;
  if (end > from) fsbmp::hintXfsLog(parser_, place_, from, end - from);
}

void LogReader::hintSearch(int64_t first, int64_t mid, int64_t end, int depth, bool deepestOnly) {
  if (!hints_ || depth == 0 || mid == first || mid == end) return;
  const int64_t low = first + (mid - first) / 2;
  const int64_t high = mid + (end - mid) / 2;
  if (depth == 1 || !deepestOnly) {
    fsbmp::hintXfsLog(parser_, place_, low, 1);
    fsbmp::hintXfsLog(parser_, place_, high, 1);
  }
  hintSearch(first, low, mid, depth - 1, deepestOnly);
  hintSearch(mid, high, end, depth - 1, deepestOnly);
}

CVoError LogReader::cycleAt(int64_t bb, uint32_t* cycle) {
  CVoError err = read(bb, 1);
  if (err.code < 0) return err;
  *cycle = cycleOf(buf_.data());
  return CVoError();
}

CVoError LogReader::findCycle(int64_t from, int64_t count, uint32_t cycle, int64_t* found) {
  *found = -1;
  for (int64_t at = from; at < from + count; at += kScanPiece) {
    const int64_t n = from + count - at < kScanPiece ? from + count - at : kScanPiece;
    CVoError err = read(at, n);
    if (err.code < 0) return err;
    for (int64_t i = 0; i < n; ++i) {
      if (cycleOf(buf_.data() + i * kBasicBlock) == cycle) {
        *found = at + i;
        return CVoError();
      }
    }
  }
  return CVoError();
}

CVoError LogReader::cycleStart(int64_t first, int64_t* last, uint32_t cycle) {
  int64_t end = *last;
  int64_t mid = first + (end - first) / 2;
  // Each step reads one basic block where the step before says: the places the next two steps
  // may read are hinted, so that the one they take is in flight already (on a step after the
  // first, those of the next step were hinted by the step before).
  for (bool firstStep = true; mid != first && mid != end; firstStep = false) {
    hintSearch(first, mid, end, kSearchAhead, !firstStep);
    uint32_t c = 0;
    CVoError err = cycleAt(mid, &c);
    if (err.code < 0) return err;
    if (c == cycle)
      end = mid;
    else
      first = mid;
    mid = first + (end - first) / 2;
  }
  *last = end;
  return CVoError();
}

CVoError LogReader::backToRecord(int64_t from, int64_t* last, int64_t extra, bool* hitStart) {
  *hitStart = false;
  if (from < 0) from = 0;  // a log shorter than one record
  int64_t i = *last - 1;
  const unsigned char* header = nullptr;
  while (!header) {
    if (i < 0) {
      *hitStart = true;
      return CVoError();
    }
    if (i < from) return damaged("no record header before the head", *last);
    const int64_t low = std::max(i - kScanPiece + 1, from);
    CVoError err = read(low, i - low + 1);
    if (err.code < 0) return err;
    for (; i >= low; --i) {
      const unsigned char* bb = buf_.data() + (i - low) * kBasicBlock;
      if (fsbmp::decodeBE32(bb + kOffRecMagic) == kRecordMagic) {
        header = bb;
        break;
      }
    }
  }
  const int64_t length = basicBlocksOf(fsbmp::decodeBE32(header + kOffRecLength));
  if (*last - i + extra != length + headerBlocksOf(header)) *last = i;
  return CVoError();
}

CVoError LogReader::findHead(fsbmp::XfsLogState* s) {
  const int64_t n = size_;
  // The last basic block is read next, and the middle after that as a rule; a warm cache that
  // holds the last holds the rest of what the checks read as a rule, and nothing is hinted.
  hints_ = !fsbmp::xfsLogCached(parser_, place_, n - 1);
  if (hints_) {
    fsbmp::hintXfsLog(parser_, place_, n - 1, 1);
    fsbmp::hintXfsLog(parser_, place_, (n - 1) / 2, 1);
  }
  uint32_t firstCycle = 0;
  CVoError err = cycleAt(0, &firstCycle);
  if (err.code < 0) return err;
  if (firstCycle == 0) {
    s->zeroed = true;
    s->head = 0;
    return CVoError();
  }
  uint32_t lastCycle = 0;
  err = cycleAt(n - 1, &lastCycle);
  if (err.code < 0) return err;
  bool hit = false;
  int64_t found = -1;

  // Never wrapped: the head is the first basic block still zero, less a record cut short.
  if (lastCycle == 0) {
    int64_t head = n - 1;
    err = cycleStart(0, &head, 0);
    if (err.code < 0) return err;
    const int64_t window = head < kInFlightBlocks ? head : kInFlightBlocks;
    hintBefore(head, window);
    err = findCycle(head - window, window, 0, &found);
    if (err.code < 0) return err;
    if (found != -1) head = found;
    err = backToRecord(head - window, &head, 0, &hit);
    if (err.code < 0) return err;
    if (hit) return damaged("no record header before the first unwritten block", head);
    s->head = head;
    return CVoError();
  }

  // The head is the first basic block of the older cycle: x+1 ... x | x ... x.
  int64_t head = 0;
  uint32_t stopCycle = 0;
  if (firstCycle == lastCycle) {
    // Wholly one cycle, unless a hole of the previous one lies near the end.
    head = n;
    stopCycle = lastCycle - 1;
  } else {
    head = n - 1;
    stopCycle = lastCycle;
    err = cycleStart(0, &head, lastCycle);
    if (err.code < 0) return err;
  }
  // Writes in flight may have landed out of order: the earliest block of stopCycle within reach
  // behind the estimate is the head.
  const int64_t window = n < kInFlightBlocks ? n : kInFlightBlocks;
  hintBefore(head, window);
  bool validated = false;
  if (head >= window) {
    err = findCycle(head - window, window, stopCycle, &found);
    if (err.code < 0) return err;
    if (found != -1) head = found;
  } else {
    // Part of the window lies at the end of the log: there a block of the cycle before
    // stopCycle is a hole left when the log wrapped, and it is the head.
    err = findCycle(n - (window - head), window - head, stopCycle - 1, &found);
    if (err.code < 0) return err;
    if (found != -1) {
      head = found;
      validated = true;
    }
    if (!validated) {
      err = findCycle(0, head, stopCycle, &found);
      if (err.code < 0) return err;
      if (found != -1) head = found;
    }
  }

  // The head must not point into the middle of a record.
  if (head >= kRecordBlocks) {
    err = backToRecord(head - kRecordBlocks, &head, 0, &hit);
    if (err.code < 0) return err;
    if (hit) return damaged("no record header before the head", head);
  } else {
    err = backToRecord(0, &head, 0, &hit);
    if (err.code < 0) return err;
    if (hit) {
      // The record before the head began before the log wrapped.
      int64_t end = n;
      err = backToRecord(n - (kRecordBlocks - head), &end, head, &hit);
      if (err.code < 0) return err;
      if (hit) return damaged("no record header before the head", head);
      if (end != n) head = end;
    }
  }
  s->head = head == n ? 0 : head;
  return CVoError();
}

CVoError LogReader::findTail(fsbmp::XfsLogState* s) {
  const int64_t n = size_;
  // The last record header before the head, looking back across the log's end if need be.
  // Records are at most 256 KiB and the head was just placed right after one, so a header lies
  // well within the window the kernel keeps in flight.
  int64_t at = -1;
  const int64_t reach = n < kInFlightBlocks ? n : kInFlightBlocks;
  for (int64_t done = 0; done < reach && at < 0;) {
    // Scan back from the block before the head, `done` blocks back already.
    int64_t top = s->head - 1 - done;
    if (top < 0) top += n;
    int64_t count = top + 1 < kScanPiece ? top + 1 : kScanPiece;
    if (count > reach - done) count = reach - done;
    CVoError err = read(top - count + 1, count);
    if (err.code < 0) return err;
    for (int64_t i = count - 1; i >= 0; --i) {
      if (fsbmp::decodeBE32(buf_.data() + i * kBasicBlock + kOffRecMagic) == kRecordMagic) {
        at = top - count + 1 + i;
        break;
      }
    }
    done += count;
  }
  if (at < 0) return damaged("no record header within reach of the head", s->head);

  CVoError err = read(at, 1);
  if (err.code < 0) return err;
  const unsigned char* h = buf_.data();
  const uint32_t version = fsbmp::decodeBE32(h + kOffRecVersion);
  const uint32_t length = fsbmp::decodeBE32(h + kOffRecLength);
  const uint32_t ops = fsbmp::decodeBE32(h + kOffRecOps);
  const uint32_t size = fsbmp::decodeBE32(h + kOffRecSize);
  if (version != 1 && version != kVersion2)
    return damaged("last record has an unknown version", at);
  if (length == 0 || length > kMaxRecordSize || (version == kVersion2 && size > kMaxRecordSize))
    return damaged("last record has an impossible length", at);
  static const unsigned char kNil[16] = {};
  if (memcmp(h + kOffRecUuid, kNil, 16) != 0 && memcmp(h + kOffRecUuid, place_.uuid, 16) != 0)
    return damaged("last record belongs to another file system", at);
  s->lastRecord = at;
  s->headCycle = fsbmp::decodeBE32(h + kOffRecCycle);
  s->tail = static_cast<int64_t>(fsbmp::decodeBE64(h + kOffRecTailLsn) & 0xFFFFFFFFu);
  const int64_t headerBlocks = headerBlocksOf(h);
  const int64_t after = (at + headerBlocks + basicBlocksOf(length)) % n;
  s->clean = false;
  if (after != s->head || ops != 1) return CVoError();

  // One operation right before the head: clean if it is the unmount record. Its operation
  // header opens the payload, whose first word (the transaction id; the original is in the
  // record header's cycle data) the cycle stamp replaced; the flags byte lies past that word.
  err = read((at + headerBlocks) % n, 1);
  if (err.code < 0) return err;
  s->clean = (buf_[kOffOpFlags] & kOpUnmount) != 0;
  // Nothing before an unmount record is needed any more: the kernel puts the tail at the head.
  if (s->clean) s->tail = s->head;
  return CVoError();
}

}  // namespace

CVoError fsbmp::readXfsLog(FsParser& parser, const XfsLogPlace& place, int64_t bb, int64_t count,
                           void* buf) {
  if (!place.device)
    return parser.readBlocks(buf, kBasicBlock, place.start + bb, static_cast<int>(count));
  return readViewBlocks(JX_LOCATION("fsbmpXFSLog"), place.device, buf, kBasicBlock,
                        place.start + bb, static_cast<int>(count));
}

void fsbmp::hintXfsLog(FsParser& parser, const XfsLogPlace& place, int64_t bb, int64_t count) {
  if (bb < 0 || count <= 0 || bb >= place.blocks) return;
  if (count > place.blocks - bb) count = place.blocks - bb;
  if (!place.device) {
    parser.willReadBlocks(kBasicBlock, place.start + bb, count);
  } else {
    place.device->willNeed((place.start + bb) * kBasicBlock, count * kBasicBlock);
  }
}

bool fsbmp::xfsLogCached(FsParser& parser, const XfsLogPlace& place, int64_t bb) {
  if (bb < 0 || bb >= place.blocks) return false;
  if (!place.device) return parser.blocksCached(kBasicBlock, place.start + bb);
  return place.device->cached((place.start + bb) * kBasicBlock);
}

CVoError fsbmp::inspectXfsLog(const JxCodeLocation& where, FsParser& parser,
                              const XfsLogPlace& place, XfsLogState* state) {
  *state = XfsLogState();
  if (place.blocks < 2) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "XFS log of %s is damaged: %lld blocks long",
                                   parser.devPath.c_str(), static_cast<long long>(place.blocks));
  }
  LogReader reader(where, parser, place);
  CVoError err = reader.findHead(state);
  if (err.code < 0) return err;
  if (state->zeroed) {
    state->clean = true;
    return CVoError();
  }
  return reader.findTail(state);
}
