// The C interface over the parsers and the disk layer: a source is a parser, a whole disk or one
// partition of a disk, opened as the fsbmp tool opens them. Nothing thrown inside gets out: every
// entry point turns an exception into an error value.
#include "fsbmp/fsbmp_c.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/coding.h"
#include "fsbmp/fsbmp.h"
#include "fsbmp/fsbmpDisk.h"

struct fsbmp_source {
  std::string path;
  std::unique_ptr<FsParser> parser;  // a file system,
  std::unique_ptr<FsDisk> disk;      // or a whole disk,
  int partition = -1;                // or this partition of it
  const char* kind = "unknown";
  uint64_t deviceSize = 0;
  uint64_t offset = 0;  // where a partition starts on its disk
  uint32_t blockSize = 512;
};

namespace {

// The C names of the file-system kinds that need no look at the superblock; ext2/3/4 is named
// by its features (extKind).
struct KindName {
  int fsType;
  const char* name;
};
const KindName kKindNames[] = {
    {FsParser::kXFS, "xfs"},
    {FsParser::kReiserFS, "reiserfs"},
    {FsParser::kVxFS, "vxfs"},
    {FsParser::kBtrfs, "btrfs"},
};

// ext2/3/4 superblock fields: the feature words, at byte 1024 of the file system.
const long kExtSuperblock = 1024;
const int kExtCompat = 92, kExtIncompat = 96, kExtRoCompat = 100;
const uint32_t kExtHasJournal = 0x0004;
// What ext2 and ext3 know: compression, filetype, recover, journal_dev, meta_bg; sparse_super,
// large_file, btree_dir. Any other feature bit is ext4's.
const uint32_t kExt3Incompat = 0x001F;
const uint32_t kExt3RoCompat = 0x0007;

const char* extKind(const unsigned char* sb) {
  const uint32_t compat = fsbmp::decodeLE32(sb + kExtCompat);
  const uint32_t incompat = fsbmp::decodeLE32(sb + kExtIncompat);
  const uint32_t roCompat = fsbmp::decodeLE32(sb + kExtRoCompat);
  if ((incompat & ~kExt3Incompat) != 0 || (roCompat & ~kExt3RoCompat) != 0) return "ext4";
  return (compat & kExtHasJournal) ? "ext3" : "ext2";
}

// The C name of a parser's kind; ext2/3/4 by the superblock at `sb` (null: not read).
const char* kindName(int fsType, const unsigned char* sb) {
  if (fsType == FsParser::kExt2) return sb ? extKind(sb) : "ext4";
  for (const KindName& k : kKindNames)
    if (k.fsType == fsType) return k.name;
  return "unknown";
}

void setError(fsbmp_error* err, int errnum, const std::string& message) {
  if (!err) return;
  err->errnum = errnum;
  snprintf(err->message, sizeof err->message, "%s", message.c_str());
}

void clearError(fsbmp_error* err) {
  if (!err) return;
  err->errnum = 0;
  err->message[0] = '\0';
}

// The library's messages, newest first, joined by ": ", and the errno's text when none says it.
std::string errorMessage(const CVoError& e) {
  std::string text, last;
  for (size_t i = 0; i < e.depth(); ++i) {
    const std::string m = e.frameMessage(i);
    if (m.empty() || m == last) continue;
    text += (text.empty() ? "" : ": ") + m;
    last = m;
  }
  if (e.errNo() != 0 && e.errNo() != ENOSYS && text.find(strerror(e.errNo())) == std::string::npos)
    text += std::string(text.empty() ? "" : ": ") + strerror(e.errNo());
  return text;
}

int fail(fsbmp_error* err, const CVoError& e) {
  setError(err, e.errNo() != 0 ? e.errNo() : EIO, errorMessage(e));
  return -1;
}

int fail(fsbmp_error* err, int errnum, const std::string& message) {
  setError(err, errnum, message);
  return -1;
}

// An exception that reached the boundary.
int failCaught(fsbmp_error* err) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return fail(err, ENOMEM, "out of memory");
  } catch (const std::exception& e) {
    return fail(err, EIO, std::string("internal error: ") + e.what());
  } catch (...) {
    return fail(err, EIO, "internal error");
  }
}

const char* fileKind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// What the tool refuses before any parser looks: a path that isn't there, anything but a
// regular file or a block device, an empty file. A stat, not an open: a FIFO never blocks, and a
// source costs no more than the parser's own open. 0, or -1 with *err set.
int checkDevice(const char* path, fsbmp_error* err) {
  struct stat st;
  if (stat(path, &st) != 0)
    return fail(err, errno,
                std::string("couldn't open ") + path + " for reading: " + strerror(errno));
  if (S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3))
    return fail(err, ENOTBLK, std::string(path) + " is an empty device");
  if (S_ISDIR(st.st_mode))
    return fail(err, EISDIR,
                std::string(path) + " is a directory, not a block device or an image file");
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
    return fail(err, ENOTBLK,
                std::string(path) + " is " + fileKind(st.st_mode) +
                    ", not a block device or an image file");
  if (S_ISREG(st.st_mode) && st.st_size == 0)
    return fail(err, EINVAL, std::string(path) + " is an empty file (0 bytes)");
  return 0;
}

// Reads the ext2/3/4 superblock of the file system that starts at byte `start` of `path`.
bool readExtSuperblock(const std::string& path, long long start, unsigned char* sb) {
  Fd f{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  return f.fd >= 0 && pread(f.fd, sb, 1024, start + kExtSuperblock) == 1024;
}

// The tool's answer when every file system refused the device: each refusal's first message.
std::string refusalText(const std::string& path, const CVoError& last,
                        const std::vector<FsParser::Refusal>& refusals) {
  if (refusals.empty()) return errorMessage(last);
  std::string text = "no supported file system recognised on " + path + "; tried:";
  for (const FsParser::Refusal& r : refusals) {
    std::string why = r.error.rootMessage();
    if (why.empty()) why = r.error.message();
    text += std::string(" ") + FsParser::typeName(r.fsType) + ": " + why + ";";
  }
  text.pop_back();
  return text;
}

int openSource(const char* path, const FsDisk::Options& layers, fsbmp_source** out,
               fsbmp_error* err) {
  if (!path) return fail(err, EINVAL, "no path given");
  if (checkDevice(path, err) != 0) return -1;
  std::unique_ptr<fsbmp_source> s(new fsbmp_source);
  s->path = path;
  CVoError e;
  std::vector<FsParser::Refusal> refusals;
  s->parser.reset(FsParser::init(s->path, &e, &refusals));
  if (s->parser) {
    FsParser& p = *s->parser;
    if (!layers.decrypted.empty())
      return fail(err, EINVAL,
                  s->path +
                      " holds a file system: a decrypted device belongs to a LUKS container "
                      "on a disk");
    for (const std::string& member : layers.members) {
      const CVoError memberErr = p.addMember(member);
      if (memberErr.code < 0)
        return fail(err, memberErr.errNo() ? memberErr.errNo() : EINVAL, errorMessage(memberErr));
    }
    unsigned char sb[1024];
    const bool haveSb = p.fsType == FsParser::kExt2 && p.readBlocks(sb, 1024, 1, 1).code >= 0;
    s->kind = kindName(p.fsType, haveSb ? sb : nullptr);
    s->deviceSize = static_cast<uint64_t>(p.devSize);
    s->blockSize = static_cast<uint32_t>(p.blockSize);
    *out = s.release();
    return 0;
  }
  // Refused by every file system: perhaps a whole disk (errno 38 from it: no table at all).
  CVoError diskErr;
  s->disk.reset(FsDisk::open(s->path, layers, &diskErr));
  if (s->disk) {
    s->kind = "disk";
    s->deviceSize = static_cast<uint64_t>(s->disk->size());
    *out = s.release();
    return 0;
  }
  // A device that can't be opened at all (no permission) is reported as such, not as a device
  // nothing recognises.
  const Fd f{open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (f.fd < 0)
    return fail(err, errno, s->path + ": couldn't open for reading: " + strerror(errno));
  if (diskErr.errNo() != ENOSYS)
    return fail(err, diskErr.errNo() ? diskErr.errNo() : EIO,
                "couldn't read " + s->path + " as a disk: " + errorMessage(diskErr));
  return fail(err, e.errNo() ? e.errNo() : ENOSYS, refusalText(s->path, e, refusals));
}

// A partition's kind and block size, as opening its bytes alone would report them.
void describePartition(const FsPartition& p, fsbmp_source* s) {
  s->deviceSize = static_cast<uint64_t>(p.length);
  s->offset = static_cast<uint64_t>(p.start);
  s->blockSize = 512;
  switch (p.content) {
    case FsPartition::kFileSystem: {
      unsigned char sb[1024];
      const bool haveSb = p.fsType == FsParser::kExt2 && readExtSuperblock(s->path, p.start, sb);
      s->kind = kindName(p.fsType, haveSb ? sb : nullptr);
      s->blockSize = static_cast<uint32_t>(p.blockSize);
      break;
    }
    case FsPartition::kSwap:
    case FsPartition::kHibernation:
      s->kind = "swap";
      break;
    case FsPartition::kLvmPv:
    case FsPartition::kLayer:
      s->kind = "disk";  // a PV or an md member or LUKS container alone is a disk of its own
      break;
    case FsPartition::kUnknown:
      s->kind = "unknown";
      break;
  }
}

int openPartition(const char* path, int number, fsbmp_source** out, fsbmp_error* err) {
  if (!path) return fail(err, EINVAL, "no path given");
  if (checkDevice(path, err) != 0) return -1;
  std::unique_ptr<fsbmp_source> s(new fsbmp_source);
  s->path = path;
  CVoError e;
  s->disk.reset(FsDisk::open(s->path, &e));
  if (!s->disk) {
    if (e.errNo() == ENOSYS)
      return fail(err, EINVAL, s->path + " holds no partition table: a partition needs a disk");
    return fail(err, e.errNo() ? e.errNo() : EIO,
                "couldn't read " + s->path + " as a disk: " + errorMessage(e));
  }
  std::string numbers;
  for (const FsPartition& p : s->disk->partitions()) {
    numbers += " " + std::to_string(p.number);
    if (p.number != number) continue;
    s->partition = number;
    describePartition(p, s.get());
    *out = s.release();
    return 0;
  }
  return fail(err, EINVAL,
              s->path + " has no partition " + std::to_string(number) + " (it has" + numbers + ")");
}

// The bitmap as the library builds it, with the bits past the last chunk cleared.
int buildBitmap(fsbmp_source* s, uint64_t chunkSize, uint8_t** bitmap, uint64_t* nchunks,
                fsbmp_error* err) {
  if (chunkSize == 0 || chunkSize > (1u << 30))
    return fail(err, EINVAL,
                "chunk size " + std::to_string(chunkSize) + " is out of range (1 to 1 GiB)");
  const int cs = static_cast<int>(chunkSize);
  void* raw = nullptr;
  long long n = 0;
  CVoError e = s->partition >= 0 ? s->disk->getPartitionBmp(s->partition, cs, &raw, &n)
               : s->disk         ? s->disk->getBmp(cs, &raw, &n)
                                 : s->parser->getBmp(cs, &raw, &n);
  if (e.code < 0) return fail(err, e);  // no buffer is left behind on failure
  uint8_t* bits = static_cast<uint8_t*>(raw);
  if (bits && n % 8 != 0) bits[n / 8] &= static_cast<uint8_t>((1u << (n % 8)) - 1);
  *bitmap = bits;
  *nchunks = static_cast<uint64_t>(n);
  return 0;
}

// The first chunk at or after `from` that is used (or free), or n.
uint64_t nextChunk(const uint8_t* bits, uint64_t n, uint64_t from, bool used) {
  const uint8_t skip = used ? 0x00 : 0xFF;
  uint64_t c = from;
  while (c < n && (c & 7) != 0) {
    if (((bits[c >> 3] >> (c & 7)) & 1) == used) return c;
    ++c;
  }
  // Whole bytes: runs of free or used space are long, most bytes are all one way.
  uint64_t byte = c >> 3;
  const uint64_t bytes = (n + 7) / 8;
  while (byte < bytes && bits[byte] == skip) ++byte;
  if (byte >= bytes) return n;
  const unsigned b = used ? bits[byte] : static_cast<uint8_t>(~bits[byte]);
  c = byte * 8 + static_cast<uint64_t>(__builtin_ctz(b));
  return c < n ? c : n;
}

}  // namespace

extern "C" {

int fsbmp_open(const char* path, fsbmp_source** out, fsbmp_error* err) {
  clearError(err);
  if (!out) return fail(err, EINVAL, "no place for the source given");
  *out = nullptr;
  try {
    return openSource(path, FsDisk::Options(), out, err);
  } catch (...) {
    return failCaught(err);
  }
}

int fsbmp_open_layers(const char* path, const char* const* members, const char* const* decrypted,
                      fsbmp_source** out, fsbmp_error* err) {
  clearError(err);
  if (!out) return fail(err, EINVAL, "no place for the source given");
  *out = nullptr;
  try {
    FsDisk::Options layers;
    for (const char* const* m = members; m && *m; ++m) layers.members.push_back(*m);
    for (const char* const* d = decrypted; d && *d; ++d) layers.decrypted.push_back(*d);
    return openSource(path, layers, out, err);
  } catch (...) {
    return failCaught(err);
  }
}

int fsbmp_open_partition(const char* path, int number, fsbmp_source** out, fsbmp_error* err) {
  clearError(err);
  if (!out) return fail(err, EINVAL, "no place for the source given");
  *out = nullptr;
  try {
    return openPartition(path, number, out, err);
  } catch (...) {
    return failCaught(err);
  }
}

void fsbmp_close(fsbmp_source* s) {
  try {
    delete s;
  } catch (...) {
  }
}

const char* fsbmp_kind(const fsbmp_source* s) {
  return s ? s->kind : "unknown";
}

uint64_t fsbmp_device_size(const fsbmp_source* s) {
  return s ? s->deviceSize : 0;
}

uint64_t fsbmp_offset(const fsbmp_source* s) {
  return s ? s->offset : 0;
}

uint32_t fsbmp_block_size(const fsbmp_source* s) {
  return s ? s->blockSize : 0;
}

int fsbmp_bitmap(fsbmp_source* s, uint64_t chunk_size, uint8_t** bitmap, uint64_t* nchunks,
                 fsbmp_error* err) {
  clearError(err);
  if (bitmap) *bitmap = nullptr;
  if (nchunks) *nchunks = 0;
  if (!s || !bitmap || !nchunks) return fail(err, EINVAL, "no source or no place for the bitmap");
  try {
    return buildBitmap(s, chunk_size, bitmap, nchunks, err);
  } catch (...) {
    return failCaught(err);
  }
}

int fsbmp_used_ranges(fsbmp_source* s, uint64_t chunk_size,
                      int (*cb)(void* ctx, uint64_t offset, uint64_t length), void* ctx,
                      fsbmp_error* err) {
  clearError(err);
  if (!s || !cb) return fail(err, EINVAL, "no source or no callback");
  uint8_t* bits = nullptr;
  uint64_t n = 0;
  try {
    if (buildBitmap(s, chunk_size, &bits, &n, err) != 0) return -1;
  } catch (...) {
    return failCaught(err);
  }
  std::unique_ptr<uint8_t, void (*)(void*)> owner(bits, free);
  const uint64_t size = s->deviceSize;
  for (uint64_t c = nextChunk(bits, n, 0, true); c < n;) {
    const uint64_t end = nextChunk(bits, n, c, false);
    const uint64_t offset = c * chunk_size;
    if (offset >= size) break;  // used space past the device's end (a truncated image)
    uint64_t stop = end * chunk_size;
    if (stop > size) stop = size;
    // The caller's callback is C: nothing it does can throw through here.
    const int r = cb(ctx, offset, stop - offset);
    if (r != 0) return r;
    c = end < n ? nextChunk(bits, n, end, true) : n;
  }
  return 0;
}

int fsbmp_set_journal_device(fsbmp_source* s, const char* path, fsbmp_error* err) {
  clearError(err);
  if (!s || !path) return fail(err, EINVAL, "no source or no path given");
  if (!s->parser)
    return fail(err, EINVAL,
                s->path +
                    " is a disk: name its file system's journal where the "
                    "file system is opened alone");
  try {
    CVoError e = s->parser->setJournalDevice(path);
    return e.code < 0 ? fail(err, e) : 0;
  } catch (...) {
    return failCaught(err);
  }
}

void fsbmp_free(void* p) {
  free(p);
}

}  // extern "C"
