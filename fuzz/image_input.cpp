#include "image_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fsbmp/fsbmp.h"
#include "fsbmp/services/crc32c.h"
#include "promises.h"

namespace fsbmp_fuzz {

namespace {

const size_t kSector = 512;
const size_t kPage = 4096;

struct Base {
  std::string name;
  std::vector<unsigned char> bytes;
  std::vector<uint32_t> sectors;  // the non-zero ones
  std::vector<uint32_t> pages;    // the non-zero 4 KiB pages
  uint32_t xfsBlockSize = 0;      // from an XFS superblock, 0 otherwise
  std::string path;
  int fd = -1;
};

std::vector<Base>* bases;

uint32_t le32(const uint8_t* p) {
  return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint32_t be32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "fsbmp fuzz: %s\n", what.c_str());
  abort();
}

std::string imagesDir() {
  const char* dir = getenv("FSBMP_FUZZ_IMAGES");
  return dir && *dir ? dir : FSBMP_FUZZ_IMAGES_DIR;
}

std::string scratchDir() {
  struct stat st;
  return stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
}

void writeAll(int fd, const void* p, size_t n, off_t at) {
  const char* c = static_cast<const char*>(p);
  while (n > 0) {
    const ssize_t w = pwrite(fd, c, n, at);
    if (w <= 0) fail(std::string("write to a device file failed: ") + strerror(errno));
    c += w;
    n -= static_cast<size_t>(w);
    at += w;
  }
}

// Writes the base's non-zero pages from byte `from` on; the rest of the file stays a hole.
void writeNonZeroPages(const Base& b, size_t from) {
  for (uint32_t page : b.pages) {
    const size_t at = static_cast<size_t>(page) * kPage;
    if (at + kPage <= from) continue;
    writeAll(b.fd, b.bytes.data() + at, std::min(kPage, b.bytes.size() - at),
             static_cast<off_t>(at));
  }
}

void removeDeviceFiles() {
  if (!bases) return;
  for (Base& b : *bases) {
    if (b.fd >= 0) close(b.fd);
    unlink(b.path.c_str());
  }
}

Base loadBase(const std::string& name) {
  Base b;
  b.name = name;
  const std::string file = imagesDir() + "/" + name + ".img.gz";
  std::unique_ptr<FILE, int (*)(FILE*)> in(popen(("gzip -dc '" + file + "'").c_str(), "r"), pclose);
  if (!in) fail("can't run gzip for " + file);
  char buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, in.get())) > 0) b.bytes.insert(b.bytes.end(), buf, buf + n);
  if (pclose(in.release()) != 0 || b.bytes.size() < 65536) fail("can't read base image " + file);
  static const unsigned char kZeroSector[kSector] = {};
  for (size_t s = 0; s < b.bytes.size() / kSector; ++s) {
    if (memcmp(b.bytes.data() + s * kSector, kZeroSector, kSector) == 0) continue;
    b.sectors.push_back(static_cast<uint32_t>(s));
    const uint32_t page = static_cast<uint32_t>(s * kSector / kPage);
    if (b.pages.empty() || b.pages.back() != page) b.pages.push_back(page);
  }
  if (be32(b.bytes.data()) == 0x58465342) b.xfsBlockSize = be32(b.bytes.data() + 4);
  b.path = scratchDir() + "/fsbmp-fuzz-" + std::to_string(getpid()) + "-" + name;
  b.fd = open(b.path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (b.fd < 0) fail("can't create " + b.path);
  if (ftruncate(b.fd, static_cast<off_t>(b.bytes.size())) != 0) fail("can't size " + b.path);
  return b;
}

struct Range {
  size_t at;
  size_t len;
};

// Gives patched XFS free-space tree blocks (v5 magics) their checksum back, so that the walk
// goes on into their records.
void recomputeTreeChecksums(const Base& b, std::vector<Range>* touched) {
  const uint32_t bs = b.xfsBlockSize;
  if (bs < 512 || bs > 65536 || (bs & (bs - 1)) != 0) return;
  std::vector<unsigned char> block(bs);
  const size_t patches = touched->size();
  for (size_t i = 0; i < patches; ++i) {
    const Range r = (*touched)[i];
    for (size_t blk = r.at / bs; blk * bs < r.at + r.len && (blk + 1) * bs <= b.bytes.size();
         ++blk) {
      const off_t at = static_cast<off_t>(blk * bs);
      if (pread(b.fd, block.data(), bs, at) != static_cast<ssize_t>(bs)) continue;
      const uint32_t magic = be32(block.data());
      if (magic != 0x41423342 && magic != 0x41423343) continue;  // "AB3B", "AB3C"
      memset(block.data() + 52, 0, 4);
      uint32_t crc = 0xFFFFFFFF;
      mb_crc32c(block.data(), bs, &crc);
      crc = ~crc;
      const unsigned char stored[4] = {
          static_cast<unsigned char>(crc), static_cast<unsigned char>(crc >> 8),
          static_cast<unsigned char>(crc >> 16), static_cast<unsigned char>(crc >> 24)};
      writeAll(b.fd, stored, 4, at + 52);
      touched->push_back({static_cast<size_t>(at) + 52, 4});
    }
  }
}

}  // namespace

void loadImages(const std::vector<std::string>& names) {
  if (bases) return;
  bases = new std::vector<Base>;
  atexit(removeDeviceFiles);
  for (const std::string& name : names) {
    bases->push_back(loadBase(name));
    writeNonZeroPages(bases->back(), 0);
  }
}

void reapChildren(bool wait) {
  while (waitpid(-1, nullptr, wait ? 0 : WNOHANG) > 0) {
  }
}

void runImageInput(const uint8_t* data, size_t size) {
  if (!bases || bases->empty() || size < 2) return;
  Base& b = (*bases)[data[0] % bases->size()];
  const uint8_t options = data[1];
  size_t pos = 2;
  long long cut = -1;
  if (options & 2) {
    if (size < 6) return;
    cut = static_cast<long long>(le32(data + 2) * kSector);
    pos = 6;
  }
  const unsigned shift = 9 + (options >> 3);
  const int extraChunkSize = shift <= 30 ? 1 << shift : 3 * 4096;

  std::vector<Range> touched;
  const size_t metaBytes = b.sectors.size() * kSector;
  while (pos + 5 <= size) {
    size_t len = data[pos];
    const uint32_t where = le32(data + pos + 1);
    pos += 5;
    len = std::min(len, size - pos);
    size_t at;
    if ((where & 0x80000000u) || metaBytes == 0) {
      at = (where & 0x7FFFFFFFu) % b.bytes.size();
    } else {
      const size_t index = where % metaBytes;
      at = b.sectors[index / kSector] * kSector + index % kSector;
    }
    const size_t n = std::min(len, b.bytes.size() - at);
    if (n > 0) {
      writeAll(b.fd, data + pos, n, static_cast<off_t>(at));
      touched.push_back({at, n});
    }
    pos += len;
  }
  if (options & 1) recomputeTreeChecksums(b, &touched);
  const bool cutShort = cut >= 0 && cut < static_cast<long long>(b.bytes.size());
  if (cutShort && ftruncate(b.fd, static_cast<off_t>(cut)) != 0) fail("can't cut " + b.path);

  probeAndWalk(b.path, extraChunkSize);
  reapChildren(false);

  for (const Range& r : touched)
    writeAll(b.fd, b.bytes.data() + r.at, r.len, static_cast<off_t>(r.at));
  if (cutShort) {
    if (ftruncate(b.fd, static_cast<off_t>(b.bytes.size())) != 0) fail("can't regrow " + b.path);
    writeNonZeroPages(b, static_cast<size_t>(cut));
  }
}

}  // namespace fsbmp_fuzz
