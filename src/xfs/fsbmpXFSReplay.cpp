// An XFS log replayed in memory, the way the kernel's recovery replays it at mount: the records
// from the tail to the head, their payloads with the first word of every basic block restored
// from the header's cycle data, operations gathered into transactions by their ids, and the
// buffer items of every committed transaction applied by their maps of 128-byte pieces. Two
// passes over the records, as the kernel makes them: the first counts cancel records, the second
// applies what no later cancel voids. For a scan of the files, every metadata buffer is kept,
// and the inode-create and inode items of each transaction are applied after its buffers, as
// recovery orders them.
//
// Record headers are big-endian. The transaction header and the log items' format structures are
// in the byte order of the host that wrote them, which the record header's h_fmt names; the
// buffers' own contents are on-disk metadata, big-endian.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "core/checksums.h"
#include "core/coding.h"
#include "core/device_view.h"
#include "core/location.h"
#include "xfs/fsbmpXFSCrc.h"
#include "xfs/fsbmpXFSInodeFormat.h"
#include "xfs/fsbmpXFSLayout.h"
#include "xfs/fsbmpXFSLog.h"
#include "xfs/fsbmpXFSLogFormat.h"
#include "xfs/fsbmpXFSLogInode.h"

namespace {

using namespace fsbmp::xlog;
using namespace fsbmp::xfs;

const int kBB = kBasicBlock;

// The CRC covers this much of the header: the structure as 64-bit hosts lay it out, or as i386
// does, four bytes shorter; and this much of each extended header.
const size_t kRecCrcBytes = 328;
const size_t kRecCrcBytesOther = 324;
const size_t kExtCrcBytes = 260;
const int kCycleWords = kHeaderCycleSize / kBB;  // basic blocks one header's cycle data covers
const uint32_t kFormatLittle = 1;
const uint32_t kFormatBig = 2;
const uint32_t kFormatIrix = 3;
// Records the kernel may have in flight at once: a CRC failure among the last this many before
// the head is a write that did not finish.
const size_t kInFlightRecords = 8;

// Operation clients.
const uint8_t kClientTransaction = 0x69;
const uint8_t kClientLog = 0xAA;

// Transaction header and items (writer's byte order).
const uint32_t kTransMagic = 0x5452414E;  // "TRAN"
const size_t kTransHeader = 16;
const unsigned kMaxRegions = 65536 / 128 / 2 + 1;
const uint16_t kItemBuffer = 0x123C;
const uint16_t kItemInode = 0x123B;
const uint16_t kItemInodeCreate = 0x123F;
const uint16_t kFirstItem = 0x1236;  // EFI
const uint16_t kLastItem = 0x124F;   // realtime CUD
const uint16_t kNoItem1 = 0x1239;    // never assigned
const uint16_t kNoItem2 = 0x123A;

// Buffer log format.
const int kOffBlfFlags = 4;
const int kOffBlfLength = 6;  // basic blocks
const int kOffBlfBlock = 8;   // disk address in basic blocks
const int kOffBlfMapSize = 16;
const int kOffBlfMap = 20;
const unsigned kMaxMapWords = 17;
const unsigned kBlfInode = 0x01;
const unsigned kBlfCancel = 0x02;
const unsigned kBlfDquots = 0x04 | 0x08 | 0x10;
const int kPiece = 128;
const int kMaxBufferBlocks = 65536 / kBB;

// Bounds on what a replay may hold in memory: far above what real logs need (a checkpoint is at
// most an eighth of a log of at most 2 GiB), far below what a hostile log could ask for.
const uint64_t kMaxPendingBytes = 512ull << 20;
const uint64_t kMaxOverlayBytes = 512ull << 20;

struct Item {
  unsigned total = 0;  // regions the item says it has
  std::vector<std::vector<unsigned char>> regions;
};

struct Transaction {
  uint64_t lsn = 0;  // of the record that started it
  std::vector<unsigned char> header;
  bool headerDone = false;
  std::vector<Item> items;
};

struct Record {
  int64_t start;       // log basic block of the header
  int64_t headers;     // header basic blocks
  int64_t dataBlocks;  // payload basic blocks
  uint32_t length;     // payload bytes
};

class Replayer {
 public:
  Replayer(const JxCodeLocation& where, FsParser& parser, const fsbmp::XfsLogPlace& place,
           const fsbmp::XfsInodeShape* inodes, fsbmp::MemoryOverlay* overlay, fsbmp::XfsReplay* out)
      : where_(where),
        parser_(parser),
        place_(place),
        inodes_(inodes),
        overlay_(overlay),
        out_(out) {}

  CVoError run(int64_t tail, int64_t head);

 private:
  CVoError damaged(const char* what, int64_t bb);
  // Reads `count` basic blocks from log basic block `bb`, across the log's end if need be.
  CVoError read(int64_t bb, int64_t count, std::vector<unsigned char>* out);
  // The records from tail to head, headers checked.
  CVoError listRecords(int64_t tail, int64_t head, std::vector<Record>* records);
  // Reads a record whole and restores its payload; with crcOk, checks its CRC (version 5).
  CVoError loadRecord(const Record& r, bool* crcOk);
  CVoError processRecord(const Record& r, int pass);
  CVoError processOp(uint32_t tid, uint8_t flags, const unsigned char* data, uint32_t length,
                     uint64_t lsn, int pass, int64_t at);
  CVoError addRegion(Transaction* t, const unsigned char* data, uint32_t length, int64_t at);
  CVoError continueRegion(Transaction* t, const unsigned char* data, uint32_t length, int64_t at);
  CVoError commit(Transaction* t, int pass, int64_t at);
  CVoError applyBuffer(const Item& item, uint64_t lsn, int64_t at);
  CVoError applyInodeCreate(const Item& item, int64_t at);
  CVoError applyInode(const Item& item, uint64_t lsn, int64_t at);
  // Reads `bytes` bytes from basic block `block` as the replay has left them so far.
  CVoError readBuffer(int64_t block, size_t bytes, std::vector<unsigned char>* out, int64_t at);
  CVoError keep(int64_t block, const std::vector<unsigned char>& buffer, int64_t at);
  uint16_t host16(const unsigned char* p) const {
    return bigEndian_ ? fsbmp::decodeBE16(p) : fsbmp::decodeLE16(p);
  }
  uint32_t host32(const unsigned char* p) const {
    return bigEndian_ ? fsbmp::decodeBE32(p) : fsbmp::decodeLE32(p);
  }
  uint64_t host64(const unsigned char* p) const {
    return bigEndian_ ? fsbmp::decodeBE64(p) : fsbmp::decodeLE64(p);
  }

  JxCodeLocation where_;
  FsParser& parser_;
  fsbmp::XfsLogPlace place_;
  const fsbmp::XfsInodeShape* inodes_;  // null: only the free-space maps are kept
  fsbmp::MemoryOverlay* overlay_;
  fsbmp::XfsReplay* out_;
  bool bigEndian_ = false;
  std::vector<unsigned char> record_;  // header blocks, then the restored payload
  std::map<uint32_t, Transaction> open_;
  uint64_t pending_ = 0;
  std::map<std::pair<int64_t, unsigned>, unsigned> cancels_;
};

CVoError Replayer::damaged(const char* what, int64_t bb) {
  return JxErrorUtil::ErrorErrNo(
      FSBMP_AT(where_), ENOSYS,
      "XFS log of %s can't be replayed: %s (record at log block %lld of %lld); mount the file "
      "system or a copy once to replay it, then map it again",
      parser_.devPath.c_str(), what, static_cast<long long>(bb),
      static_cast<long long>(place_.blocks));
}

CVoError Replayer::read(int64_t bb, int64_t count, std::vector<unsigned char>* out) {
  out->resize(static_cast<size_t>(count) * kBB);
  int64_t done = 0;
  while (done < count) {
    const int64_t at = (bb + done) % place_.blocks;
    int64_t n = count - done;
    if (n > place_.blocks - at) n = place_.blocks - at;
    CVoError err = fsbmp::readXfsLog(parser_, place_, at, n, out->data() + done * kBB);
    if (err.code < 0) {
      return err.Push(FSBMP_AT(where_), "Couldn't read XFS log blocks %lld to %lld of %s",
                      static_cast<long long>(at), static_cast<long long>(at + n - 1),
                      parser_.devPath.c_str());
    }
    done += n;
  }
  return CVoError();
}

CVoError Replayer::listRecords(int64_t tail, int64_t head, std::vector<Record>* records) {
  records->clear();
  const int64_t n = place_.blocks;
  int64_t left = (head - tail + n) % n;  // basic blocks from the tail to the head
  int64_t at = tail;
  std::vector<unsigned char> h;
  while (left > 0) {
    CVoError err = read(at, 1, &h);
    if (err.code < 0) return err;
    if (fsbmp::decodeBE32(h.data()) != kRecordMagic) return damaged("no record header", at);
    const uint32_t version = fsbmp::decodeBE32(h.data() + kOffRecVersion);
    const uint32_t length = fsbmp::decodeBE32(h.data() + kOffRecLength);
    const uint32_t size = fsbmp::decodeBE32(h.data() + kOffRecSize);
    if (version != 1 && version != kVersion2) return damaged("unknown record version", at);
    if (length == 0 || length > kMaxRecordSize || (version == kVersion2 && size > kMaxRecordSize))
      return damaged("impossible record length", at);
    Record r;
    r.start = at;
    r.headers = headerBlocksOf(h.data());
    r.dataBlocks = basicBlocksOf(length);
    r.length = length;
    // A payload longer than its headers' cycle data covers cannot be restored.
    if (r.dataBlocks > r.headers * kCycleWords)
      return damaged("record longer than its headers", at);
    const int64_t total = r.headers + r.dataBlocks;
    if (total > left) return damaged("record runs past the head", at);
    records->push_back(r);
    left -= total;
    at = (at + total) % n;
  }
  return CVoError();
}

CVoError Replayer::loadRecord(const Record& r, bool* crcOk) {
  CVoError err = read(r.start, r.headers + r.dataBlocks, &record_);
  if (err.code < 0) return err;
  unsigned char* h = record_.data();
  unsigned char* data = h + r.headers * kBB;
  if (crcOk) *crcOk = true;
  if (crcOk && place_.hasCRC) {
    const uint32_t stored = fsbmp::decodeLE32(h + kOffRecCrc);
    for (size_t headerBytes : {kRecCrcBytes, kRecCrcBytesOther}) {
      uint32_t crc = 0xFFFFFFFF;
      addSealedCRC(h, headerBytes, kOffRecCrc, &crc);
      // Only the extended headers that the payload's length needs, however many there are.
      const int64_t needed =
          (static_cast<int64_t>(r.length) + kHeaderCycleSize - 1) / kHeaderCycleSize;
      for (int64_t x = 1; x < needed && x < r.headers; ++x)
        mb_crc32c(h + x * kBB, kExtCrcBytes, &crc);
      mb_crc32c(data, r.length, &crc);
      *crcOk = ~crc == stored;
      if (*crcOk) break;
    }
    if (!fsbmp::kChecksumsRefuse) *crcOk = true;  // fuzzing: reach what lies behind
  }
  // The first word of each payload block holds the cycle number; the word it replaced is in the
  // header's cycle data, past the first 64 blocks in the extended headers'.
  for (int64_t i = 0; i < r.dataBlocks; ++i) {
    const unsigned char* word = i < kCycleWords
                                    ? h + kOffRecCycleData + 4 * i
                                    : h + (i / kCycleWords) * kBB + 4 + 4 * (i % kCycleWords);
    memcpy(data + i * kBB, word, 4);
  }
  return CVoError();
}

CVoError Replayer::processRecord(const Record& r, int pass) {
  const unsigned char* h = record_.data();
  const uint32_t format = fsbmp::decodeBE32(h + kOffRecFormat);
  if (format == kFormatLittle)
    bigEndian_ = false;
  else if (format == kFormatBig || format == kFormatIrix)
    bigEndian_ = true;
  else
    return damaged("record of unknown format", r.start);
  static const unsigned char kNil[16] = {};
  if (memcmp(h + kOffRecUuid, kNil, 16) != 0 && memcmp(h + kOffRecUuid, place_.uuid, 16) != 0)
    return damaged("record of another file system (UUID differs)", r.start);
  const uint64_t lsn = fsbmp::decodeBE64(h + kOffRecLsn);
  const uint32_t ops = fsbmp::decodeBE32(h + kOffRecOps);
  const unsigned char* p = h + r.headers * kBB;
  const unsigned char* end = p + r.length;
  for (uint32_t i = 0; i < ops; ++i) {
    if (end - p < kOpHeader) return damaged("operation header past the record's end", r.start);
    const uint32_t tid = fsbmp::decodeBE32(p);
    const uint32_t length = fsbmp::decodeBE32(p + 4);
    const uint8_t client = p[8];
    const uint8_t flags = p[9];
    p += kOpHeader;
    if (client != kClientTransaction && client != kClientLog)
      return damaged("operation of an unknown client", r.start);
    if (length > static_cast<uint64_t>(end - p))
      return damaged("operation runs past the record's end", r.start);
    CVoError err = processOp(tid, flags, p, length, lsn, pass, r.start);
    if (err.code < 0) return err;
    p += length;
  }
  return CVoError();
}

CVoError Replayer::processOp(uint32_t tid, uint8_t flags, const unsigned char* data,
                             uint32_t length, uint64_t lsn, int pass, int64_t at) {
  auto it = open_.find(tid);
  if (it == open_.end()) {
    // Only a start opens a transaction; anything else is what remains of one that began before
    // the tail, or slack between transactions.
    if (flags & kOpStart) open_[tid].lsn = lsn;
    return CVoError();
  }
  Transaction& t = it->second;
  unsigned kind = flags & ~kOpEnd;
  if (kind & kOpWasContinued) kind &= ~kOpContinue;
  switch (kind) {
    case 0:
    case kOpContinue:
      return addRegion(&t, data, length, at);
    case kOpWasContinued:
      return continueRegion(&t, data, length, at);
    case kOpCommit: {
      CVoError err = commit(&t, pass, at);
      for (const Item& item : t.items)
        for (const auto& region : item.regions) pending_ -= region.size();
      open_.erase(it);
      return err;
    }
    case kOpUnmount:
      for (const Item& item : t.items)
        for (const auto& region : item.regions) pending_ -= region.size();
      open_.erase(it);
      return CVoError();
    default:
      return damaged("operation with unexpected flags", at);
  }
}

CVoError Replayer::addRegion(Transaction* t, const unsigned char* data, uint32_t length,
                             int64_t at) {
  if (!t->headerDone && t->items.empty()) {
    // The transaction header, whole or its first part.
    if (length < 4 || host32(data) != kTransMagic || length > kTransHeader)
      return damaged("transaction without its header", at);
    t->header.assign(data, data + length);
    if (length == kTransHeader) {
      t->headerDone = true;
      t->items.emplace_back();
    }
    return CVoError();
  }
  if (t->items.empty()) return damaged("transaction header cut short", at);
  pending_ += length;
  if (pending_ > kMaxPendingBytes) return damaged("transactions too large to replay in memory", at);
  if (t->items.back().total != 0 && t->items.back().regions.size() == t->items.back().total)
    t->items.emplace_back();
  Item& item = t->items.back();
  if (item.total == 0) {
    if (length < 4) return damaged("log item too short for its header", at);
    const unsigned regions = host16(data + 2);
    if (regions == 0 || regions > kMaxRegions) return damaged("log item of impossible size", at);
    item.total = regions;
  }
  if (item.regions.size() >= item.total) return damaged("log item with too many regions", at);
  item.regions.emplace_back(data, data + length);
  return CVoError();
}

CVoError Replayer::continueRegion(Transaction* t, const unsigned char* data, uint32_t length,
                                  int64_t at) {
  if (!t->headerDone && t->items.empty()) {
    // The rest of the transaction header.
    if (t->header.size() + length != kTransHeader)
      return damaged("transaction header cut short", at);
    t->header.insert(t->header.end(), data, data + length);
    t->headerDone = true;
    t->items.emplace_back();
    return CVoError();
  }
  if (t->items.empty() || t->items.back().regions.empty())
    return damaged("continuation of no region", at);
  pending_ += length;
  if (pending_ > kMaxPendingBytes) return damaged("transactions too large to replay in memory", at);
  std::vector<unsigned char>& region = t->items.back().regions.back();
  region.insert(region.end(), data, data + length);
  return CVoError();
}

CVoError Replayer::commit(Transaction* t, int pass, int64_t at) {
  if (pass == 2) ++out_->transactions;
  for (const Item& item : t->items) {
    if (item.regions.empty()) continue;  // the empty item after a header
    if (item.regions.size() != item.total) return damaged("log item cut short", at);
    const std::vector<unsigned char>& format = item.regions[0];
    const uint16_t type = host16(format.data());
    if (type < kFirstItem || type > kLastItem || type == kNoItem1 || type == kNoItem2)
      return damaged("log item of unknown type", at);
    // Intents, inodes, quotas: none of them is a free-space map. Intents free space, or
    // allocate what recovery writes itself: leaving them out only keeps more used. A scan of
    // the files reads inodes, which come after the buffers.
    if (type == kItemInodeCreate && inodes_ && pass == 2) {
      CVoError err = applyInodeCreate(item, at);
      if (err.code < 0) return err;
      continue;
    }
    if (type != kItemBuffer) continue;
    if (format.size() < static_cast<size_t>(kOffBlfMap))
      return damaged("buffer item too short", at);
    const unsigned flags = host16(format.data() + kOffBlfFlags);
    const std::pair<int64_t, unsigned> key(
        static_cast<int64_t>(host64(format.data() + kOffBlfBlock)),
        host16(format.data() + kOffBlfLength));
    if (pass == 1) {
      if (flags & kBlfCancel) ++cancels_[key];
      continue;
    }
    if (flags & kBlfCancel) {
      // This cancel is behind us now: buffers logged after it are replayed again.
      auto c = cancels_.find(key);
      if (c != cancels_.end() && --c->second == 0) cancels_.erase(c);
      continue;
    }
    if (cancels_.count(key)) {
      ++out_->cancelled;
      continue;
    }
    // Inode and quota buffers get a partial replay of their own; neither is a free-space map.
    if (flags & (kBlfInode | kBlfDquots)) continue;
    CVoError err = applyBuffer(item, t->lsn, at);
    if (err.code < 0) return err;
  }
  if (!inodes_ || pass != 2) return CVoError();
  for (const Item& item : t->items) {
    if (item.regions.empty() || host16(item.regions[0].data()) != kItemInode) continue;
    CVoError err = applyInode(item, t->lsn, at);
    if (err.code < 0) return err;
  }
  return CVoError();
}

CVoError Replayer::readBuffer(int64_t block, size_t bytes, std::vector<unsigned char>* out,
                              int64_t at) {
  out->resize(bytes);
  uint32_t got = 0;
  CVoError err = overlay_->readAt(block * kBB, out->data(), static_cast<uint32_t>(bytes), &got);
  if (err.code < 0)
    return err.Push(FSBMP_AT(where_), "Couldn't read the buffer at basic block %lld of %s",
                    static_cast<long long>(block), parser_.devPath.c_str());
  if (got != bytes) return damaged("log item past the device's end", at);
  return CVoError();
}

CVoError Replayer::keep(int64_t block, const std::vector<unsigned char>& buffer, int64_t at) {
  overlay_->put(block, buffer.data(), static_cast<int64_t>(buffer.size() / kBB));
  if (overlay_->bytes() > kMaxOverlayBytes)
    return damaged("too many buffers to replay in memory", at);
  return CVoError();
}

CVoError Replayer::applyInodeCreate(const Item& item, int64_t at) {
  fsbmp::XfsInodeCreate create;
  const char* why = fsbmp::readXfsInodeCreate(item.regions[0], *inodes_, &create);
  if (why) return damaged(why, at);
  const int64_t perBlock = inodes_->blockSize / kBB;
  const int64_t first =
      (static_cast<int64_t>(create.ag) * inodes_->agBlocks + create.agBlock) * perBlock;
  const int64_t count = static_cast<int64_t>(create.blocks) * perBlock;
  // Inodes whose blocks a later transaction freed again are not created.
  for (const auto& cancel : cancels_)
    if (cancel.first.first >= first && cancel.first.first < first + count) return CVoError();
  std::vector<unsigned char> buffer(static_cast<size_t>(count) * kBB);
  fsbmp::initXfsInodes(create, *inodes_, buffer.data());
  ++out_->inodesCreated;
  return keep(first, buffer, at);
}

CVoError Replayer::applyInode(const Item& item, uint64_t lsn, int64_t at) {
  fsbmp::XfsInodeItemPlace place;
  if (!fsbmp::readXfsInodeItemPlace(item.regions[0], bigEndian_, &place))
    return damaged("inode item of unknown format", at);
  if (place.block < 0 || place.block > INT64_MAX / kBB - kMaxBufferBlocks || place.length <= 0 ||
      place.length > kMaxBufferBlocks || place.offset < 0 ||
      static_cast<int64_t>(place.offset) + inodes_->inodeSize >
          static_cast<int64_t>(place.length) * kBB)
    return damaged("inode item of impossible geometry", at);
  std::vector<unsigned char> buffer;
  CVoError err = readBuffer(place.block, static_cast<size_t>(place.length) * kBB, &buffer, at);
  if (err.code < 0) return err;
  bool applied = false;
  const char* why = fsbmp::applyXfsInodeItem(item.regions, place, bigEndian_, lsn, *inodes_,
                                             buffer.data() + place.offset, &applied);
  if (why) return damaged(why, at);
  if (!applied) return CVoError();
  ++out_->inodes;
  return keep(place.block, buffer, at);
}

CVoError Replayer::applyBuffer(const Item& item, uint64_t lsn, int64_t at) {
  const std::vector<unsigned char>& format = item.regions[0];
  const int64_t block = static_cast<int64_t>(host64(format.data() + kOffBlfBlock));
  const int length = host16(format.data() + kOffBlfLength);
  const uint32_t mapWords = host32(format.data() + kOffBlfMapSize);
  if (block < 0 || block > INT64_MAX / kBB - kMaxBufferBlocks || length <= 0 ||
      length > kMaxBufferBlocks || mapWords > kMaxMapWords ||
      format.size() < kOffBlfMap + 4 * static_cast<size_t>(mapWords))
    return damaged("buffer item of impossible geometry", at);
  std::vector<unsigned char> buffer(static_cast<size_t>(length) * kBB);
  uint32_t got = 0;
  CVoError err =
      overlay_->readAt(block * kBB, buffer.data(), static_cast<uint32_t>(buffer.size()), &got);
  if (err.code < 0)
    return err.Push(FSBMP_AT(where_), "Couldn't read the buffer at basic block %lld of %s",
                    static_cast<long long>(block), parser_.devPath.c_str());
  if (got != buffer.size()) return damaged("buffer item past the device's end", at);

  // Version 5 metadata carries the LSN of its last write: a buffer the device holds from that
  // transaction or a later one is not replayed.
  if (place_.hasCRC) {
    const uint32_t magic = fsbmp::decodeBE32(buffer.data());
    int lsnAt = -1;
    if (magic == kAgfMagic)
      lsnAt = kOffAgfLsn;
    else if (magic == kTreeMagicCRC || magic == kByCountMagicCRC || magic == kInobtMagicCRC ||
             magic == kFinobtMagicCRC || magic == kRmapMagicCRC || magic == kRefcountMagicCRC)
      lsnAt = kOffTreeLsn;
    else if (magic == kBmapMagicCRC)
      lsnAt = kOffLongLsn;
    else if (magic == kAgflMagic)
      lsnAt = kOffAgflLsn;
    else if (magic == kAgiMagic)
      lsnAt = kOffAgiLsn;
    if (lsnAt >= 0 && static_cast<size_t>(lsnAt) + 8 <= buffer.size()) {
      const uint64_t stored = fsbmp::decodeBE64(buffer.data() + lsnAt);
      if (stored != 0 && stored != ~uint64_t{0} && stored >= lsn) {
        ++out_->current;
        return CVoError();
      }
    }
  }

  // Bit b of the map: piece b (128 bytes) was logged. Each run of set bits comes in the next
  // region, or in several when the run crossed a page of the buffer in memory.
  auto bit = [&](unsigned b) {
    return (host32(format.data() + kOffBlfMap + 4 * (b / 32)) >> (b % 32)) & 1u;
  };
  const unsigned bits = mapWords * 32;
  size_t region = 1;
  for (unsigned b = 0; b < bits;) {
    if (!bit(b)) {
      ++b;
      continue;
    }
    unsigned run = 1;
    while (b + run < bits && bit(b + run)) ++run;
    if (region >= item.regions.size()) return damaged("buffer item lacks a logged piece", at);
    const std::vector<unsigned char>& piece = item.regions[region++];
    if (piece.size() < static_cast<size_t>(run) * kPiece)
      run = static_cast<unsigned>(piece.size() / kPiece);
    if (run == 0) return damaged("buffer item lacks a logged piece", at);
    if ((static_cast<size_t>(b) + run) * kPiece > buffer.size())
      return damaged("buffer item logs past its buffer", at);
    memcpy(buffer.data() + static_cast<size_t>(b) * kPiece, piece.data(),
           static_cast<size_t>(run) * kPiece);
    b += run;
  }
  ++out_->buffers;

  // Only what the free-space map reads is kept, and what an earlier item put in place; a scan
  // of the files reads every other tree and the inodes too.
  const uint32_t magic = fsbmp::decodeBE32(buffer.data());
  if (inodes_ || magic == kAgfMagic || magic == kTreeMagic || magic == kTreeMagicCRC ||
      overlay_->holds(block * kBB, static_cast<uint32_t>(buffer.size())))
    return keep(block, buffer, at);
  return CVoError();
}

CVoError Replayer::run(int64_t tail, int64_t head) {
  std::vector<Record> records;
  CVoError err = listRecords(tail, head, &records);
  if (err.code < 0) return err;
  // Version 5: every record must pass its CRC, but for the last ones before the head, which
  // may be writes that never finished. The head then moves back to the first of those, and
  // the tail to what the record before it names, as at mount.
  if (place_.hasCRC) {
    for (size_t i = 0; i < records.size(); ++i) {
      bool ok = false;
      err = loadRecord(records[i], &ok);
      if (err.code < 0) return err;
      if (ok) continue;
      if (i + kInFlightRecords < records.size())
        return damaged("record fails its CRC", records[i].start);
      out_->torn = true;
      head = records[i].start;
      // Torn from the first record after the tail on: that record's header, whole, says that
      // everything before it is on the device, so nothing is left to replay.
      if (i == 0) {
        records.clear();
        break;
      }
      err = read(records[i - 1].start, 1, &record_);
      if (err.code < 0) return err;
      const int64_t newTail =
          static_cast<int64_t>(fsbmp::decodeBE64(record_.data() + kOffRecTailLsn) & 0xFFFFFFFFu);
      if (newTail >= place_.blocks)
        return damaged("record names a tail outside the log", records[i - 1].start);
      if (newTail != tail) {
        tail = newTail;
        err = listRecords(tail, head, &records);
        if (err.code < 0) return err;
        for (size_t k = 0; k < records.size(); ++k) {
          err = loadRecord(records[k], &ok);
          if (err.code < 0) return err;
          if (!ok) return damaged("record fails its CRC", records[k].start);
        }
      } else {
        records.resize(i);
      }
      break;
    }
  }
  out_->tail = tail;
  out_->head = head;
  out_->records = static_cast<uint32_t>(records.size());
  for (int pass = 1; pass <= 2; ++pass) {
    open_.clear();
    pending_ = 0;
    for (const Record& r : records) {
      err = loadRecord(r, nullptr);  // CRCs were checked above
      if (err.code < 0) return err;
      err = processRecord(r, pass);
      if (err.code < 0) return err;
    }
  }
  return CVoError();
}

}  // namespace

CVoError fsbmp::replayXfsLog(const JxCodeLocation& where, FsParser& parser,
                             const XfsLogPlace& place, const XfsLogState& state,
                             const XfsInodeShape* inodes, MemoryOverlay* overlay,
                             XfsReplay* replay) {
  *replay = XfsReplay();
  Replayer replayer(where, parser, place, inodes, overlay, replay);
  return replayer.run(state.tail, state.head);
}
