// fsbmp: the command-line face of the library.
//   fsbmp info DEVICE
//   fsbmp bitmap DEVICE --chunk-size BYTES --output FILE
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fsbmp/fsbmp.h"

namespace {

const char kUsage[] =
    "usage: fsbmp [--debug] COMMAND DEVICE [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  info DEVICE                       file-system type and geometry\n"
    "  bitmap DEVICE --chunk-size BYTES --output FILE\n"
    "                                    write the used-chunk bitmap (one bit per chunk, least\n"
    "                                    significant bit first) and print how many chunks are "
    "used\n"
    "\n"
    "Options:\n"
    "  --chunk-size BYTES   a power of two and a multiple of the block size; suffixes K, M, G\n"
    "  --output FILE        where the bitmap goes (exactly ceil(chunks / 8) bytes)\n"
    "  --debug              write the library's debug log to standard error\n"
    "  --help, --version\n";

int usageError(const char* what) {
  fprintf(stderr, "fsbmp: %s\n\n%s", what, kUsage);
  return 2;
}

void debugToStderr(void*, const char* tag, int, const char* line) {
  fprintf(stderr, "[%s] %s\n", tag, line);
}

// Parses "65536", "64K", "1M", "1G" (binary multiples; "KiB" etc. accepted too).
bool parseSize(const std::string& text, long long* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 10);
  if (errno) return false;
  std::string suffix(end);
  unsigned shift = 0;
  if (suffix.empty() || suffix == "B") {
    shift = 0;
  } else if (suffix == "K" || suffix == "k" || suffix == "KiB" || suffix == "KB") {
    shift = 10;
  } else if (suffix == "M" || suffix == "MiB" || suffix == "MB") {
    shift = 20;
  } else if (suffix == "G" || suffix == "GiB" || suffix == "GB") {
    shift = 30;
  } else {
    return false;
  }
  if (v > (0x7FFFFFFFFFFFFFFFull >> shift)) return false;
  *out = static_cast<long long>(v << shift);
  return true;
}

const char* typeName(int fsType) {
  switch (fsType) {
    case FsParser::kExt2:
      return "ext2/3/4";
    case FsParser::kReiserFS:
      return "ReiserFS";
    case FsParser::kXFS:
      return "XFS";
    case FsParser::kVxFS:
      return "VxFS";
    default:
      return "unknown";
  }
}

std::unique_ptr<FsParser> probe(const std::string& device) {
  // A device that cannot be opened at all is reported as such, not as an unknown file system.
  int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "fsbmp: couldn't open %s for reading: %s\n", device.c_str(), strerror(errno));
    return nullptr;
  }
  close(fd);
  CVoError err;
  std::unique_ptr<FsParser> parser(FsParser::init(device, &err));
  if (!parser) {
    fprintf(stderr, "fsbmp: no supported file system recognised on %s\n%s", device.c_str(),
            err.toString().c_str());
  }
  return parser;
}

int cmdInfo(const std::string& device) {
  std::unique_ptr<FsParser> p = probe(device);
  if (!p) return 1;
  printf("device:      %s\n", device.c_str());
  printf("type:        %s\n", typeName(p->fsType));
  printf("block size:  %d\n", p->blockSize);
  printf("blocks:      %lld\n", p->blockCount);
  printf("fs size:     %lld\n", p->fsSize);
  printf("device size: %lld\n", p->devSize);
  return 0;
}

bool writeAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int cmdBitmap(const std::string& device, long long chunkSize, const std::string& output) {
  if (chunkSize <= 0 || chunkSize > 0x40000000) {
    fprintf(stderr, "fsbmp: chunk size %lld is out of range (1 to 1G)\n", chunkSize);
    return 2;
  }
  std::unique_ptr<FsParser> p = probe(device);
  if (!p) return 1;
  void* raw = nullptr;
  long long nChunks = 0;
  CVoError err = p->getBmp(static_cast<int>(chunkSize), &raw, &nChunks);
  if (err.code < 0) {
    fprintf(stderr, "fsbmp: couldn't build the bitmap of %s\n%s", device.c_str(),
            err.toString().c_str());
    return 1;
  }
  std::unique_ptr<unsigned char, void (*)(void*)> bitmap(static_cast<unsigned char*>(raw), free);
  const size_t bytes = static_cast<size_t>((nChunks + 7) / 8);
  long long used = 0;
  for (long long c = 0; c < nChunks; ++c) used += (bitmap.get()[c >> 3] >> (c & 7)) & 1;

  int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    fprintf(stderr, "fsbmp: couldn't create %s: %s\n", output.c_str(), strerror(errno));
    return 1;
  }
  bool ok = writeAll(fd, bitmap.get(), bytes);
  int savedErrno = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    savedErrno = errno;
  }
  if (!ok) {
    fprintf(stderr, "fsbmp: couldn't write %s: %s\n", output.c_str(), strerror(savedErrno));
    return 1;
  }
  printf("chunk size:  %lld\n", chunkSize);
  printf("chunks:      %lld\n", nChunks);
  printf("used chunks: %lld\n", used);
  printf("used bytes:  %lld\n", used * chunkSize);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> positional;
  std::string output;
  std::string chunkText;
  bool debug = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--version") {
      printf("fsbmp %s\n", FSBMP_VERSION);
      return 0;
    } else if (a == "--debug") {
      debug = true;
    } else if (a == "--chunk-size" || a == "--output") {
      if (i + 1 >= argc) return usageError((a + " needs a value").c_str());
      (a == "--output" ? output : chunkText) = argv[++i];
    } else if (a.rfind("--chunk-size=", 0) == 0) {
      chunkText = a.substr(13);
    } else if (a.rfind("--output=", 0) == 0) {
      output = a.substr(9);
    } else if (a.size() > 1 && a[0] == '-') {
      return usageError(("unknown option " + a).c_str());
    } else {
      positional.push_back(a);
    }
  }
  if (debug) PdDebug::SetSink(debugToStderr, nullptr);
  if (positional.empty()) return usageError("no command given");
  const std::string& cmd = positional[0];
  if (cmd == "info") {
    if (positional.size() != 2) return usageError("info takes one DEVICE");
    return cmdInfo(positional[1]);
  }
  if (cmd == "bitmap") {
    if (positional.size() != 2) return usageError("bitmap takes one DEVICE");
    if (chunkText.empty()) return usageError("bitmap needs --chunk-size");
    if (output.empty()) return usageError("bitmap needs --output");
    long long chunkSize = 0;
    if (!parseSize(chunkText, &chunkSize))
      return usageError(("bad chunk size " + chunkText).c_str());
    return cmdBitmap(positional[1], chunkSize, output);
  }
  return usageError(("unknown command " + cmd).c_str());
}
