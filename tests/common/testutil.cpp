#include "common/testutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace fsbmp_test {

namespace {

std::string gScratch;

void removeScratch() {
  if (!gScratch.empty()) {
    std::string cmd = "rm -rf '" + gScratch + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "couldn't remove %s\n", gScratch.c_str());
  }
}

std::mutex gCaptureMutex;

void captureSink(void* ctx, const char* tag, int, const char* line) {
  auto* lines = static_cast<std::vector<std::string>*>(ctx);
  std::lock_guard<std::mutex> lock(gCaptureMutex);
  lines->push_back(std::string(tag) + ": " + line);
}

}  // namespace

const std::string& scratchDir() {
  if (gScratch.empty()) {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/fsbmp-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
      perror("mkdtemp");
      abort();
    }
    gScratch = buf.data();
    atexit(removeScratch);
  }
  return gScratch;
}

std::string scratchPath(const std::string& name) {
  return scratchDir() + "/" + name;
}

int run(const std::string& command, std::string* out, bool withStderr) {
  std::string cmd = command;
  if (withStderr) cmd = "( " + cmd + " ) 2>&1";
  if (!out) cmd = "( " + cmd + " ) >/dev/null 2>&1";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return -1;
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  int status = pclose(f);
  if (out) *out = text;
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string mustRun(const std::string& command) {
  std::string out;
  int rc = run(command, &out, true);
  EXPECT_EQ(rc, 0) << "command failed: " << command << "\n" << out;
  return out;
}

bool haveCommand(const std::string& name) {
  return run("command -v '" + name + "'", nullptr) == 0;
}

std::string toolCommand() {
  const char* tool = getenv("FSBMP_CLI");
  if (!tool || !*tool) {
    ADD_FAILURE() << "FSBMP_CLI names the tool under test; run the tests through ctest";
    return "false";
  }
  const char* emulator = getenv("FSBMP_EMULATOR");
  return (emulator && *emulator ? std::string(emulator) + " '" : std::string("'")) + tool + "'";
}

int runTool(const std::string& args, std::string* out, bool withStderr) {
  return run(toolCommand() + " " + args, out, withStderr);
}

std::string mustRunTool(const std::string& args) {
  return mustRun(toolCommand() + " " + args);
}

std::vector<unsigned char> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::vector<unsigned char>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void copyFile(const std::string& from, const std::string& to) {
  mustRun("cp --sparse=always '" + from + "' '" + to + "'");
}

void patchFile(const std::string& path, uint64_t offset, const std::vector<unsigned char>& bytes) {
  int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << path;
  ssize_t n = pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
  close(fd);
  ASSERT_EQ(n, static_cast<ssize_t>(bytes.size()));
}

std::vector<unsigned char> readAt(const std::string& path, uint64_t offset, size_t size) {
  std::vector<unsigned char> out(size);
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return {};
  ssize_t n = pread(fd, out.data(), size, static_cast<off_t>(offset));
  close(fd);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

void putLE16(std::vector<unsigned char>* v, size_t at, uint16_t x) {
  (*v)[at] = static_cast<unsigned char>(x & 0xFF);
  (*v)[at + 1] = static_cast<unsigned char>(x >> 8);
}
void putLE32(std::vector<unsigned char>* v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) (*v)[at + i] = (x >> (8 * i)) & 0xFF;
}
void putBE32(std::vector<unsigned char>* v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) (*v)[at + i] = (x >> (24 - 8 * i)) & 0xFF;
}
uint32_t getLE32(const std::vector<unsigned char>& v, size_t at) {
  return v[at] | v[at + 1] << 8 | v[at + 2] << 16 | static_cast<uint32_t>(v[at + 3]) << 24;
}
uint32_t getBE32(const std::vector<unsigned char>& v, size_t at) {
  return static_cast<uint32_t>(v[at]) << 24 | v[at + 1] << 16 | v[at + 2] << 8 | v[at + 3];
}

uint32_t crc32cBits(uint32_t crc, const unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
  }
  return crc;
}

uint16_t crc16Bits(uint16_t crc, const unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    crc = static_cast<uint16_t>(crc ^ p[i]);
    for (int k = 0; k < 8; ++k)
      crc = static_cast<uint16_t>((crc & 1) ? (crc >> 1) ^ 0xA001u : crc >> 1);
  }
  return crc;
}

void resealXfs(const std::string& path, uint64_t offset, size_t length, size_t crcAt) {
  std::vector<unsigned char> bytes = readAt(path, offset, length);
  putLE32(&bytes, crcAt, 0);
  putLE32(&bytes, crcAt, ~crc32cBits(0xFFFFFFFFu, bytes.data(), bytes.size()));
  patchFile(path, offset + crcAt,
            std::vector<unsigned char>(bytes.begin() + static_cast<long>(crcAt),
                                       bytes.begin() + static_cast<long>(crcAt) + 4));
}

namespace {

// Takes what a getBmp call gave back.
CVoError adopt(CVoError err, void* raw, long long n, ChunkBitmap* out) {
  if (err.code < 0) {
    out->bits.reset();
    out->nChunks = 0;
    return err;
  }
  out->bits.reset(static_cast<unsigned char*>(raw));
  out->nChunks = n;
  return err;
}

}  // namespace

CVoError getBitmap(FsParser* parser, int chunkSize, ChunkBitmap* out) {
  void* raw = reinterpret_cast<void*>(0x1);
  long long n = -7;
  CVoError err = parser->getBmp(chunkSize, &raw, &n);
  return adopt(err, raw, n, out);
}

CVoError getBitmap(FsDisk* disk, int chunkSize, ChunkBitmap* out) {
  void* raw = reinterpret_cast<void*>(0x1);
  long long n = -7;
  CVoError err = disk->getBmp(chunkSize, &raw, &n);
  return adopt(err, raw, n, out);
}

long long usedChunks(const ChunkBitmap& got) {
  long long used = 0;
  for (long long c = 0; c < got.nChunks; ++c) used += got.test(c);
  return used;
}

::testing::AssertionResult allUsed(const ChunkBitmap& got, long long from, long long to) {
  if (!got.bits) return ::testing::AssertionFailure() << "no bitmap";
  if (to > got.nChunks)
    return ::testing::AssertionFailure()
           << "bitmap has " << got.nChunks << " chunks, fewer than " << to;
  for (long long c = from; c < to; ++c)
    if (!got.test(c)) return ::testing::AssertionFailure() << "chunk " << c << " is free";
  return ::testing::AssertionSuccess();
}

std::vector<bool> chunksFromBlocks(const std::vector<bool>& usedBlocks, long long blocksPerChunk) {
  std::vector<bool> chunks((usedBlocks.size() + blocksPerChunk - 1) / blocksPerChunk, false);
  for (size_t b = 0; b < usedBlocks.size(); ++b)
    if (usedBlocks[b]) chunks[b / blocksPerChunk] = true;
  return chunks;
}

::testing::AssertionResult sameChunks(const ChunkBitmap& got, const std::vector<bool>& expected,
                                      long long compareChunks) {
  if (!got.bits) return ::testing::AssertionFailure() << "no bitmap";
  if (compareChunks > got.nChunks)
    return ::testing::AssertionFailure()
           << "bitmap has " << got.nChunks << " chunks, fewer than " << compareChunks;
  if (compareChunks > static_cast<long long>(expected.size()))
    return ::testing::AssertionFailure() << "oracle covers " << expected.size() << " chunks only";
  std::ostringstream diffs;
  long long count = 0;
  for (long long c = 0; c < compareChunks; ++c) {
    if (got.test(c) != expected[c]) {
      if (count < 8)
        diffs << " chunk " << c << ": got " << got.test(c) << " expected " << expected[c] << ";";
      ++count;
    }
  }
  if (count == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << count << " chunks differ:" << diffs.str();
}

DebugCapture::DebugCapture() {
  PdDebug::SetSink(captureSink, &lines);
}
DebugCapture::~DebugCapture() {
  PdDebug::SetSink(nullptr, nullptr);
}
bool DebugCapture::contains(const std::string& fragment) const {
  for (const auto& l : lines)
    if (l.find(fragment) != std::string::npos) return true;
  return false;
}

int countOpenFds() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (struct dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the directory stream's own descriptor
}

void forEachRange(const std::string& list, void (*fn)(void*, long long, long long), void* ctx) {
  std::istringstream in(list);
  std::string item;
  while (std::getline(in, item, ',')) {
    size_t start = item.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    item = item.substr(start);
    long long a = 0, b = 0;
    if (sscanf(item.c_str(), "%lld-%lld", &a, &b) == 2) {
      fn(ctx, a, b);
    } else if (sscanf(item.c_str(), "%lld", &a) == 1) {
      fn(ctx, a, a);
    }
  }
}

LoopDevice::LoopDevice(const std::string& file, bool partitions, int sectorBytes) {
  std::string out;
  if (geteuid() != 0) {
    why = "loop devices need root";
  } else if (!haveCommand("losetup")) {
    why = "losetup is missing";
  } else if (run("losetup -f --show --sector-size " + std::to_string(sectorBytes) +
                     (partitions ? " -P '" : " '") + file + "'",
                 &out, true) != 0) {
    why = "no loop device available: " + out;
  } else {
    device = out.substr(0, out.find_first_of("\r\n"));
  }
}

LoopDevice::~LoopDevice() {
  if (!device.empty()) run("losetup -d '" + device + "'", nullptr, true);
}

}  // namespace fsbmp_test
