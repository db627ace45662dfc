#include "probe.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device_check.h"
#include "fsbmp/fsbmpDisk.h"

namespace fsbmp_tool {

std::string errorText(const CVoError& err, bool verbose) {
  if (verbose) return err.toString();
  std::string text, last;
  for (size_t i = 0; i < err.depth(); ++i) {
    const std::string m = err.frameMessage(i);
    if (m.empty() || m == last) continue;
    text += (text.empty() ? "" : ": ") + m;
    last = m;
  }
  if (err.errNo() != 0 && err.errNo() != ENOSYS &&
      text.find(strerror(err.errNo())) == std::string::npos)
    text += std::string(text.empty() ? "" : ": ") + strerror(err.errNo());
  return text + "\n";
}

namespace {

// What the first bytes of a device say it is when it holds no file system the tool reads: a
// partition table, an LVM physical volume, an external ext3/4 journal. "" when none of these.
std::string knownNonFileSystem(int fd) {
  std::vector<unsigned char> b(8192, 0);
  ssize_t n = pread(fd, b.data(), b.size(), 0);
  if (n < 1024) return "";
  for (size_t sector = 0; sector < 4; ++sector) {
    const unsigned char* s = &b[sector * 512];
    if (memcmp(s, "LABELONE", 8) == 0 && memcmp(s + 24, "LVM2 001", 8) == 0)
      return "an LVM physical volume; name one of its logical volumes instead";
  }
  if (memcmp(&b[512], "EFI PART", 8) == 0 || memcmp(&b[4096], "EFI PART", 8) == 0)
    return "a partition table (GPT)";
  if (b[510] == 0x55 && b[511] == 0xAA) {
    bool entries = false, valid = true;
    for (int i = 0; i < 4; ++i) {
      const unsigned char* e = &b[446 + 16 * i];
      if (e[0] != 0 && e[0] != 0x80) valid = false;
      if (e[4] != 0) entries = true;
    }
    if (entries && valid) return "a partition table (MBR)";
  }
  const unsigned char* sb = &b[1024];
  const unsigned incompat = sb[0x60] | sb[0x61] << 8;
  if (sb[0x38] == 0x53 && sb[0x39] == 0xEF && (incompat & 0x0008))
    return "an external ext3/4 journal; name the file system that uses it instead";
  return "";
}

// Every file system's refusal, as the factory met them, in its order.
void reportRefusals(const std::string& device, int fd, bool verbose, const CVoError& factoryErr,
                    const std::vector<FsParser::Refusal>& refusals) {
  const std::string what = knownNonFileSystem(fd);
  if (!what.empty()) {
    fprintf(stderr, "fsbmp: %s is not a file system: it holds %s\n", device.c_str(), what.c_str());
    if (!verbose) return;
  }
  if (refusals.empty()) {  // refused before any file system was tried
    fprintf(stderr, "fsbmp: %s: %s", device.c_str(), errorText(factoryErr, verbose).c_str());
    return;
  }
  fprintf(stderr, "fsbmp: no supported file system recognised on %s; tried:\n", device.c_str());
  for (const FsParser::Refusal& r : refusals) {
    const CVoError& err = r.error;
    const char* name = FsParser::typeName(r.fsType);
    std::string why = err.rootMessage();
    if (why.empty()) why = err.message();
    if (err.errNo() != 0 && err.errNo() != ENOSYS &&
        why.find(strerror(err.errNo())) == std::string::npos)
      why += std::string(" (") + strerror(err.errNo()) + ")";
    fprintf(stderr, "  %-9s %s\n", name, why.c_str());
    if (verbose) {
      std::string stack = err.toString();
      size_t start = 0;
      while (start < stack.size()) {
        size_t end = stack.find('\n', start);
        if (end == std::string::npos) end = stack.size();
        fprintf(stderr, "              %s\n", stack.substr(start, end - start).c_str());
        start = end + 1;
      }
    }
  }
}

}  // namespace

std::string partitionContent(const FsPartition& p) {
  switch (p.content) {
    case FsPartition::kFileSystem:
      return std::string(FsParser::typeName(p.fsType)) + ", " + std::to_string(p.blockSize) +
             "-byte blocks";
    case FsPartition::kSwap:
      return "swap";
    case FsPartition::kHibernation:
      return "swap holding a hibernation image";
    case FsPartition::kLvmPv:
      return "LVM physical volume " + p.pvName + " of VG " + p.vg + ", " +
             std::to_string(p.peCount) + " extents of " + std::to_string(p.extentSize) +
             " bytes from " + std::to_string(p.peStart);
    case FsPartition::kLayer:
      return layerText(p.layer, p.layerInfo);
    case FsPartition::kUnknown:
      break;
  }
  if (!p.why.empty() && p.why.compare(0, 4, "LVM ") == 0) return p.why;
  return "not recognised (copied whole)";
}

std::string layerText(const std::string& layer, const std::vector<FsParser::Property>& info) {
  std::string text = layer;
  const char* sep = ": ";
  for (const FsParser::Property& p : info) {
    text += sep + p.key + " " + p.value;
    sep = ", ";
  }
  return text;
}

std::string volumeContent(const FsLogicalVolume& lv) {
  if (!lv.layer.empty()) return layerText(lv.layer, lv.layerInfo);
  if (lv.mapped)
    return std::string(FsParser::typeName(lv.fsType)) + ", " + std::to_string(lv.blockSize) +
           "-byte blocks";
  return "counted used: " + lv.why;
}

std::string selectPartition(const std::string& number, Source* source) {
  char* end = nullptr;
  errno = 0;
  const long n = strtol(number.c_str(), &end, 10);
  if (number.empty() || *end != '\0' || errno != 0 || n < 0 || n > 1000000)
    return "--partition needs a partition number, not '" + number + "'";
  if (!source->disk) return source->devPath + " holds no partition table: --partition needs a disk";
  std::string numbers;
  for (const FsPartition& p : source->disk->partitions()) {
    numbers += " " + std::to_string(p.number);
    if (p.number != n) continue;
    source->partition = p.number;
    source->offset = p.start;
    source->devSize = source->fsSize = p.length;
    source->blockCount = (p.length + 511) / 512;
    return "";
  }
  return source->devPath + " has no partition " + std::to_string(n) + " (it has" + numbers + ")";
}

bool openSource(const std::string& device, bool verbose, Source* source, struct stat* out,
                const FsDisk::Options* layers) {
  // A device that cannot be opened at all is reported as such, not as an unknown file system.
  // O_NONBLOCK: opening a FIFO must not wait for a writer; what it is is checked right after.
  int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    fprintf(stderr, "fsbmp: couldn't open %s for reading: %s\n", device.c_str(), strerror(errno));
    return false;
  }
  struct FdCloser {
    int fd;
    ~FdCloser() { close(fd); }
  } closer{fd};
  struct stat st;
  if (fstat(fd, &st) != 0) {
    fprintf(stderr, "fsbmp: couldn't look at %s: %s\n", device.c_str(), strerror(errno));
    return false;
  }
  if (out) *out = st;
  if (S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3)) {
    fprintf(stderr, "fsbmp: %s is an empty device\n", device.c_str());
    return false;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    fprintf(stderr, "fsbmp: %s is %s, not a block device or an image file\n", device.c_str(),
            fileKind(st.st_mode));
    return false;
  }
  if (lseek(fd, 0, SEEK_END) == 0) {
    fprintf(stderr, "fsbmp: %s is an empty %s (0 bytes)\n", device.c_str(),
            S_ISBLK(st.st_mode) ? "device" : "file");
    return false;
  }
  source->devPath = device;
  CVoError err;
  std::vector<FsParser::Refusal> refusals;
  source->parser.reset(FsParser::init(device, &err, &refusals));
  if (source->parser) {
    source->devSize = source->parser->devSize;
    source->fsSize = source->parser->fsSize;
    source->blockSize = source->parser->blockSize;
    source->blockCount = source->parser->blockCount;
    return true;
  }
  // Refused: perhaps a whole disk. Errno 38 from the disk: no partition table at all.
  CVoError diskErr;
  source->disk.reset(FsDisk::open(device, layers ? *layers : FsDisk::Options(), &diskErr));
  if (source->disk) {
    source->devSize = source->fsSize = source->disk->size();
    source->blockSize = 512;
    source->blockCount = (source->devSize + 511) / 512;
    return true;
  }
  if (diskErr.errNo() != ENOSYS) {
    fprintf(stderr, "fsbmp: couldn't read %s as a disk%s%s", device.c_str(), verbose ? "\n" : ": ",
            errorText(diskErr, verbose).c_str());
    if (!verbose) return false;
  }
  reportRefusals(device, fd, verbose, err, refusals);
  return false;
}

}  // namespace fsbmp_tool
