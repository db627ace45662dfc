#include "transfer.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace fsbmp_tool {

namespace {

// Four buffers of 4 MiB: one being written, the others read ahead.
const long long kBufferBytes = 4LL << 20;
const int kBuffers = 4;
// Runs closer than this are read in one request (the free bytes between them are read but not
// written): cheaper than another request for the small gaps of a fragmented file system.
const long long kGapBytes = 64LL << 10;

long long alignDown(long long v, long long a) {
  return v & ~(a - 1);
}
long long alignUp(long long v, long long a) {
  return alignDown(v + a - 1, a);
}

// Both return "" or, after a failure, what went wrong.
std::string readFully(int fd, unsigned char* buf, long long size, long long offset,
                      const std::string& device) {
  while (size > 0) {
    ssize_t n = pread(fd, buf, static_cast<size_t>(size), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      return "couldn't read " + device + " at byte " + std::to_string(offset) + ": " +
             (n < 0 ? strerror(errno) : "unexpected end of the device");
    buf += n;
    size -= n;
    offset += n;
  }
  return "";
}

std::string writeFully(int fd, const unsigned char* buf, long long size, long long offset,
                       const std::string& target) {
  while (size > 0) {
    ssize_t n = pwrite(fd, buf, static_cast<size_t>(size), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      return "couldn't write " + target + " at byte " + std::to_string(offset) + ": " +
             (n < 0 ? strerror(errno) : "nothing written");
    buf += n;
    size -= n;
    offset += n;
  }
  return "";
}

struct Segment {
  long long offset;
  long long length;
};

// One buffer's worth: the bytes [start, end) of the device are read into `data`, and the
// segments (used bytes, in order, inside [start, end)) are written from it.
struct Piece {
  std::unique_ptr<unsigned char, void (*)(void*)> data{nullptr, free};
  long long start = 0;
  long long end = 0;
  std::vector<Segment> segments;
  std::string error;  // the read failed
  unsigned char* at(long long offset) { return data.get() + (offset - start); }
};

class Transfer {
 public:
  Transfer(const UsageMap& map, const TransferEnds& ends, const volatile sig_atomic_t* interrupted)
      : map_(map), ends_(ends), interrupted_(interrupted) {
    align_ = ends.sourceDirect >= 0 ? ends.alignment : 1;
  }

  TransferResult run(const std::function<void(long long)>& progress);

 private:
  bool halted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_ || *interrupted_;
  }
  // The reader's side.
  void readAll();
  Piece* acquire();
  void fill(Piece* piece);
  void publish(Piece* piece);
  std::string readRange(Piece* piece, long long start, long long end);
  // The writer's side.
  std::string writeSegment(Piece* piece, const Segment& s);

  const UsageMap& map_;
  const TransferEnds& ends_;
  const volatile sig_atomic_t* interrupted_;
  long long align_;
  Piece pieces_[kBuffers];
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Piece*> free_;
  std::deque<Piece*> full_;  // nullptr: the reader is done
  bool stop_ = false;
  long long runs_ = 0;  // the reader's, read after it is joined
};

Piece* Transfer::acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return stop_ || !free_.empty(); });
  if (stop_) return nullptr;
  Piece* p = free_.front();
  free_.pop_front();
  p->segments.clear();
  p->error.clear();
  return p;
}

void Transfer::publish(Piece* piece) {
  std::lock_guard<std::mutex> lock(mutex_);
  full_.push_back(piece);
  changed_.notify_all();
}

// Reads [start, end) of the device into the piece: with direct I/O the aligned part directly,
// and a tail that is not a whole aligned block (the device's last bytes) through the page cache.
std::string Transfer::readRange(Piece* piece, long long start, long long end) {
  const long long at = ends_.sourceOffset;
  if (align_ == 1)
    return readFully(ends_.source, piece->at(start), end - start, at + start, ends_.sourceName);
  const long long directEnd = std::max(start, alignDown(end, align_));
  std::string failure;
  if (directEnd > start)
    failure = readFully(ends_.sourceDirect, piece->at(start), directEnd - start, at + start,
                        ends_.sourceName);
  if (failure.empty() && end > directEnd)
    failure = readFully(ends_.source, piece->at(directEnd), end - directEnd, at + directEnd,
                        ends_.sourceName);
  return failure;
}

void Transfer::fill(Piece* piece) {
  piece->error = readRange(piece, piece->start, piece->end);
  // Runs joined across a gap were read together; a failure may lie in the gap, where nothing is
  // used: then each run is read on its own, and only a failure inside used space counts.
  if (!piece->error.empty() && piece->segments.size() > 1) {
    piece->error.clear();
    for (const Segment& s : piece->segments) {
      const long long start = std::max(piece->start, alignDown(s.offset, align_));
      const long long end = std::min(piece->end, alignUp(s.offset + s.length, align_));
      piece->error = readRange(piece, start, end);
      if (!piece->error.empty()) break;
    }
  }
}

void Transfer::readAll() {
  Piece* current = nullptr;
  bool failed = false;
  auto flush = [&] {
    fill(current);
    failed = !current->error.empty();
    publish(current);
    current = nullptr;
  };
  const long long devSize = map_.devSize;
  map_.forEachUsedRun([&](long long offset, long long length) {
    if (failed || offset >= devSize || halted()) return;
    ++runs_;
    while (length > 0 && !failed) {
      if (current) {
        const Segment& last = current->segments.back();
        const bool near = offset - (last.offset + last.length) <= kGapBytes;
        if (!near || current->start + kBufferBytes - offset <= 0) flush();
      }
      if (failed) return;
      if (!current) {
        current = acquire();
        if (!current) return;
        current->start = alignDown(offset, align_);
      }
      const long long n = std::min(length, current->start + kBufferBytes - offset);
      current->segments.push_back({offset, n});
      current->end = std::min(alignUp(offset + n, align_), devSize);
      offset += n;
      length -= n;
    }
  });
  if (current && !failed && !halted()) flush();
  publish(nullptr);
}

std::string Transfer::writeSegment(Piece* piece, const Segment& s) {
  const long long end = s.offset + s.length;
  const long long a = alignUp(s.offset, align_), b = alignDown(end, align_);
  if (align_ == 1 || a >= b)
    return writeFully(ends_.target, piece->at(s.offset), s.length, s.offset, ends_.targetName);
  std::string failure;
  if (a > s.offset)
    failure =
        writeFully(ends_.target, piece->at(s.offset), a - s.offset, s.offset, ends_.targetName);
  if (failure.empty())
    failure = writeFully(ends_.targetDirect, piece->at(a), b - a, a, ends_.targetName);
  if (failure.empty() && end > b)
    failure = writeFully(ends_.target, piece->at(b), end - b, b, ends_.targetName);
  return failure;
}

TransferResult Transfer::run(const std::function<void(long long)>& progress) {
  TransferResult result;
  for (Piece& p : pieces_) {
    void* raw = nullptr;
    if (posix_memalign(&raw, static_cast<size_t>(std::max(align_, 4096LL)),
                       static_cast<size_t>(kBufferBytes)) != 0) {
      result.failure = "couldn't allocate the copy's buffers: " + std::string(strerror(ENOMEM));
      return result;
    }
    p.data.reset(static_cast<unsigned char*>(raw));
    free_.push_back(&p);
  }

  // The reader takes no signals: SIGINT and the like reach the writer's thread, which stops both.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  std::thread reader;
  try {
    reader = std::thread([this] { readAll(); });
  } catch (const std::system_error& e) {
    result.failure = std::string("couldn't start the reading thread: ") + e.what();
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!reader.joinable()) return result;

  for (;;) {
    Piece* piece = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      // Woken by the reader; a signal only sets a flag, so the flag is looked at now and then.
      while (full_.empty() && !*interrupted_)
        changed_.wait_for(lock, std::chrono::milliseconds(100));
      if (*interrupted_) {
        result.interrupted = true;
        break;
      }
      piece = full_.front();
      full_.pop_front();
    }
    if (!piece) break;
    if (!piece->error.empty()) {
      result.failure = piece->error;
      break;
    }
    for (const Segment& s : piece->segments) {
      result.failure = writeSegment(piece, s);
      if (!result.failure.empty()) break;
      result.done += s.length;
      progress(result.done);
      if (*interrupted_) break;
    }
    if (!result.failure.empty()) break;
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(piece);
    changed_.notify_all();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    changed_.notify_all();
  }
  reader.join();
  result.interrupted = *interrupted_ != 0;
  result.runs = runs_;
  return result;
}

}  // namespace

TransferResult transferUsedRuns(const UsageMap& map, const TransferEnds& ends,
                                const volatile sig_atomic_t* interrupted,
                                const std::function<void(long long)>& progress) {
  Transfer transfer(map, ends, interrupted);
  return transfer.run(progress);
}

}  // namespace fsbmp_tool
