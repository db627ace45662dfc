#include "usage_map.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "probe.h"

namespace fsbmp_tool {

namespace {

// The 8 bitmap bytes at p as one word, only ever compared with all zeros or all ones (so the
// host's byte order does not matter).
uint64_t wordAt(const unsigned char* p) {
  uint64_t w;
  memcpy(&w, p, sizeof w);
  return w;
}

// Chunks 64c to 64c + 63 as bits 0 to 63 (bit k of byte k / 8 is chunk k), from the bytes
// that exist: byte by byte, which the compiler turns into one load where the host is
// little-endian.
uint64_t chunkWord(const unsigned char* bits, size_t bytes, size_t word) {
  uint64_t w = 0;
  const size_t first = word * 8;
  for (size_t k = 0; k < 8 && first + k < bytes; ++k)
    w |= static_cast<uint64_t>(bits[first + k]) << (8 * k);
  return w;
}

}  // namespace

long long UsageMap::usedChunks() const {
  long long used = 0;
  const unsigned char* b = bits.get();
  const size_t full = static_cast<size_t>(nChunks / 8);
  size_t i = 0;
  // A word at a time: free and used space come in long stretches, so most words are all zeros
  // or all ones and need no population count.
  for (; i + 8 <= full; i += 8) {
    const uint64_t w = wordAt(b + i);
    if (w == ~0ull)
      used += 64;
    else if (w != 0)
      used += __builtin_popcountll(w);
  }
  for (; i < full; ++i) used += __builtin_popcount(b[i]);
  for (long long c = static_cast<long long>(full) * 8; c < nChunks; ++c) used += this->used(c);
  return used;
}

void UsageMap::forEachUsedRun(const std::function<void(long long, long long)>& fn) const {
  const unsigned char* b = bits.get();
  const size_t n = bytes();
  // The first chunk at or after `from` that is used (or free), or nChunks: a word at a time,
  // the lowest set bit of the word (inverted when looking for a free chunk) above `from`. Bits
  // past the last chunk may be anything; the result is cut at nChunks.
  auto next = [&](long long from, bool usedOne) {
    for (long long c = from; c < nChunks; c = (c | 63) + 1) {
      uint64_t w = chunkWord(b, n, static_cast<size_t>(c >> 6));
      if (!usedOne) w = ~w;
      w &= ~0ull << (c & 63);
      if (w != 0) {
        const long long at = (c & ~63LL) + __builtin_ctzll(w);
        return at < nChunks ? at : nChunks;
      }
    }
    return nChunks;
  };
  long long c = next(0, true);
  while (c < nChunks) {
    const long long end = next(c, false);
    const long long offset = c * chunkSize;
    long long stop = end * chunkSize;
    if (offset < devSize && stop > devSize) stop = devSize;
    fn(offset, stop - offset);
    c = next(end, true);
  }
}

long long UsageMap::usedBytes() const {
  long long total = 0;
  forEachUsedRun([&](long long offset, long long length) {
    if (offset < devSize) total += length;
  });
  return total;
}

int buildUsageMap(Source* source, long long chunkSize, UsageMap* map, bool verbose) {
  if (chunkSize <= 0 || chunkSize > 0x40000000) {
    fprintf(stderr, "fsbmp: chunk size %lld is out of range (1 to 1G)\n", chunkSize);
    return 2;
  }
  void* raw = nullptr;
  long long nChunks = 0;
  CVoError err =
      source->partition >= 0 ? source->disk->getPartitionBmp(
                                   source->partition, static_cast<int>(chunkSize), &raw, &nChunks)
      : source->disk ? source->disk->getBmp(static_cast<int>(chunkSize), &raw, &nChunks)
                     : source->parser->getBmp(static_cast<int>(chunkSize), &raw, &nChunks);
  if (err.code < 0) {
    fprintf(stderr, "fsbmp: couldn't build the bitmap of %s%s%s", source->devPath.c_str(),
            verbose ? "\n" : ": ", errorText(err, verbose).c_str());
    return err.errNo() == EINVAL ? 2 : 1;
  }
  map->bits.reset(static_cast<unsigned char*>(raw));
  // Bits past the last chunk carry no meaning in the library (XFS sets them): cleared, so that
  // the raw bitmap has exactly one bit per chunk.
  if (nChunks % 8 != 0)
    map->bits.get()[nChunks / 8] &= static_cast<unsigned char>((1u << (nChunks % 8)) - 1);
  map->nChunks = nChunks;
  map->chunkSize = chunkSize;
  map->devSize = source->devSize;
  map->fsSize = source->fsSize;
  return 0;
}

bool loadRawBitmap(const std::string& path, UsageMap* map) {
  // O_NONBLOCK: a FIFO is refused below instead of waiting for a writer.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    fprintf(stderr, "fsbmp: couldn't open %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (!ok) fprintf(stderr, "fsbmp: couldn't stat %s: %s\n", path.c_str(), strerror(errno));
  if (ok && !S_ISREG(st.st_mode)) {
    fprintf(stderr, "fsbmp: %s is not a regular file\n", path.c_str());
    close(fd);
    return false;
  }
  if (ok && static_cast<unsigned long long>(st.st_size) != map->bytes()) {
    fprintf(stderr,
            "fsbmp: %s holds %lld bytes, but a bitmap of %lld chunks of %lld bytes needs %zu\n",
            path.c_str(), static_cast<long long>(st.st_size), map->nChunks, map->chunkSize,
            map->bytes());
    close(fd);
    return false;
  }
  size_t done = 0;
  while (ok && done < map->bytes()) {
    ssize_t n = read(fd, map->bits.get() + done, map->bytes() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      fprintf(stderr, "fsbmp: couldn't read %s: %s\n", path.c_str(),
              n < 0 ? strerror(errno) : "unexpected end of file");
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  return ok;
}

}  // namespace fsbmp_tool
