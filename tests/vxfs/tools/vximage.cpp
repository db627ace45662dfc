#include "vximage.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace vximage {

void putLE32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void putLE64(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
uint32_t getLE32(const unsigned char* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | p[i];
  return v;
}
uint64_t getLE64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

namespace {

// Bytes to write, by device offset.
class Writer {
 public:
  unsigned char* at(long long offset, size_t size) {
    std::vector<unsigned char>& v = pieces_[offset];
    if (v.size() < size) v.resize(size, 0);
    return v.data();
  }
  bool flush(const std::string& path, long long imageBytes, std::string* error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      *error = "cannot create " + path;
      return false;
    }
    bool ok = ftruncate(fd, imageBytes) == 0;
    for (const auto& p : pieces_) {
      if (!ok) break;
      ok = pwrite(fd, p.second.data(), p.second.size(), p.first) ==
           static_cast<ssize_t>(p.second.size());
    }
    ok = close(fd) == 0 && ok;
    if (!ok) *error = "cannot write " + path;
    return ok;
  }

 private:
  std::map<long long, std::vector<unsigned char>> pieces_;
};

// Places a file of `blocks` blocks from block *next on, in extents of `perExtent` blocks with one
// unused block between extents.
std::vector<std::pair<long long, int>> place(long long* next, long long blocks, int perExtent) {
  std::vector<std::pair<long long, int>> extents;
  while (blocks > 0) {
    int len = blocks < perExtent ? static_cast<int>(blocks) : perExtent;
    extents.push_back({*next, len});
    *next += len + 1;
    blocks -= len;
  }
  return extents;
}

// Device offset of byte `offset` of a file laid out in `extents`.
long long fileByte(const std::vector<std::pair<long long, int>>& extents, int blockSize,
                   long long offset) {
  long long fileBlock = offset / blockSize;
  for (const auto& e : extents) {
    if (fileBlock < e.second) return (e.first + fileBlock) * blockSize + offset % blockSize;
    fileBlock -= e.second;
  }
  return -1;
}

void writeInode(Writer* w, long long ilistByte, int ino, uint32_t type, long long size,
                const std::vector<std::pair<long long, int>>& extents) {
  unsigned char* p = w->at(ilistByte + static_cast<long long>(ino) * kInodeBytes, kInodeBytes);
  putLE32(p + kInoType, type);
  putLE32(p + kInoExtents, static_cast<uint32_t>(extents.size()));
  putLE64(p + kInoSize, static_cast<uint64_t>(size));
  for (size_t i = 0; i < extents.size(); ++i) {
    putLE64(p + kInoExtentList + i * kExtentBytes, static_cast<uint64_t>(extents[i].first));
    putLE32(p + kInoExtentList + i * kExtentBytes + 8, static_cast<uint32_t>(extents[i].second));
  }
}

}  // namespace

bool build(const std::string& path, const Description& d, Layout* layout, std::string* error) {
  const int bs = d.blockSize;
  if (bs < 512 || (bs & (bs - 1)) != 0 || d.blockCount < 1 || d.auBlocks < kGroupBlocks ||
      d.auBlocks % kGroupBlocks != 0 || (!d.printAuBlocks && d.auBlocks != 32768)) {
    *error = "unusable geometry";
    return false;
  }
  if (!d.used.empty() && static_cast<long long>(d.used.size()) != d.blockCount) {
    *error = "used map does not cover the file system";
    return false;
  }
  Layout& L = *layout;
  L = Layout();
  L.used = d.used;
  L.used.resize(static_cast<size_t>(d.blockCount), false);
  L.auCnt = static_cast<int>((d.blockCount - 1) / d.auBlocks + 1);
  L.nGroups = (d.blockCount - 1) / kGroupBlocks + 1;

  // Metadata right after the superblock: inode list, then IFEAU and IFEMP in extents.
  long long next = (kSuperblockOffset + kSuperblockBytes + bs - 1) / bs;
  L.ilistStart = next;
  const long long ilistBlocks = (static_cast<long long>(d.inodes) * kInodeBytes + bs - 1) / bs;
  next += ilistBlocks;
  const long long ifeauBytes = (L.auCnt + 3) / 4;
  const long long ifempBytes = L.nGroups * kRecordBytes;
  L.ifeauExtents = place(&next, (ifeauBytes + bs - 1) / bs, d.extentBlocks);
  L.ifempExtents = place(&next, (ifempBytes + bs - 1) / bs, d.extentBlocks);
  if (next > d.blockCount || L.ifeauExtents.size() > kMaxExtents ||
      L.ifempExtents.size() > kMaxExtents || d.ifeauIno >= d.inodes || d.ifempIno >= d.inodes ||
      d.ifeauIno == d.ifempIno) {
    *error = "metadata does not fit";
    return false;
  }
  for (long long b = 0; b < L.ilistStart + ilistBlocks; ++b) L.used[b] = true;
  for (const auto* list : {&L.ifeauExtents, &L.ifempExtents})
    for (const auto& e : *list)
      for (int i = 0; i < e.second; ++i) L.used[e.first + i] = true;
  for (int u : d.freeUnits) {
    if (u < 0 || u >= L.auCnt) {
      *error = "free unit out of range";
      return false;
    }
    const long long end = std::min<long long>(d.blockCount, (u + 1LL) * d.auBlocks);
    for (long long b = static_cast<long long>(u) * d.auBlocks; b < end; ++b) {
      if (L.used[b]) {
        *error = "a unit flagged free holds used block " + std::to_string(b);
        return false;
      }
    }
  }

  Writer w;
  unsigned char* sb = w.at(kSuperblockOffset, kSuperblockBytes);
  memcpy(sb, kMagic, 4);
  putLE32(sb + kSbVersion, static_cast<uint32_t>(d.version));
  putLE32(sb + kSbBlockSize, static_cast<uint32_t>(bs));
  putLE32(sb + kSbFlags,
          (d.printAuBlocks ? kFlagPrintAuBlocks : 0) | (d.printNinode ? kFlagPrintNinode : 0));
  putLE64(sb + kSbBlockCount, static_cast<uint64_t>(d.blockCount));
  putLE32(sb + kSbAuBlocks, static_cast<uint32_t>(d.auBlocks));
  putLE32(sb + kSbInodes, static_cast<uint32_t>(d.inodes));
  putLE64(sb + kSbIlistStart, static_cast<uint64_t>(L.ilistStart));

  // A few other structural inodes around the two that matter; the rest stay unallocated.
  const long long ilistByte = L.ilistStart * bs;
  for (int ino = 2; ino < d.inodes && ino < 8; ++ino)
    if (ino != d.ifeauIno && ino != d.ifempIno)
      writeInode(&w, ilistByte, ino, ino % 2 ? kTypeIFDIR : kTypeIFILT, 0, {});
  writeInode(&w, ilistByte, d.ifeauIno, kTypeIFEAU, ifeauBytes, L.ifeauExtents);
  writeInode(&w, ilistByte, d.ifempIno, kTypeIFEMP, ifempBytes, L.ifempExtents);

  // IFEAU: pairs "11" for a free unit, "01" otherwise (the second bit means nothing here).
  for (int u = 0; u < L.auCnt; ++u) {
    unsigned char* p = w.at(fileByte(L.ifeauExtents, bs, u / 4), 1);
    const int shift = 6 - 2 * (u % 4);
    *p |= static_cast<unsigned char>((d.freeUnits.count(u) ? 3 : 1) << shift);
  }

  // IFEMP: 1 = free. The second half of every record is zero, so reading it would look used.
  const long long groupsPerUnit = d.auBlocks / kGroupBlocks;
  for (long long g = 0; g < L.nGroups; ++g) {
    unsigned char* map = w.at(fileByte(L.ifempExtents, bs, g * kRecordBytes), kRecordBytes);
    const bool unitFree = d.freeUnits.count(static_cast<int>(g / groupsPerUnit)) != 0;
    for (int i = 0; i < kGroupBlocks; ++i) {
      const long long b = g * kGroupBlocks + i;
      bool used;
      if (unitFree && d.freeUnitMapsLie) {
        used = true;
      } else if (b < d.blockCount) {
        used = L.used[b];
      } else {
        used = d.tailUsed;
      }
      if (!used) map[i / 8] |= static_cast<unsigned char>(0x80 >> (i % 8));
    }
  }

  const long long imageBytes = d.imageBytes ? d.imageBytes : d.blockCount * bs;
  return w.flush(path, imageBytes, error);
}

}  // namespace vximage
