// Shared test helpers: scratch files, running the real tools, comparing chunk bitmaps.
#ifndef FSBMP_TESTS_TESTUTIL_H
#define FSBMP_TESTS_TESTUTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fsbmp/fsbmp.h"
#include "fsbmp/fsbmpDisk.h"

namespace fsbmp_test {

// A directory private to this test program, removed when it exits.
const std::string& scratchDir();
std::string scratchPath(const std::string& name);

// Runs a shell command; returns its exit status (-1 if it could not run). Standard output (and
// standard error when `withStderr`) is captured into `out` when given.
int run(const std::string& command, std::string* out = nullptr, bool withStderr = false);
// Runs a command that must succeed; a failure fails the current test and returns its output.
std::string mustRun(const std::string& command);
// True when `name` is found on PATH.
bool haveCommand(const std::string& name);

// The command-line tool under test as the start of a shell command: FSBMP_CLI, after the
// emulator of a cross build (FSBMP_EMULATOR); tests/CMakeLists.txt sets both. Without FSBMP_CLI
// the current test fails, and the command given back fails too.
std::string toolCommand();
// Runs the tool with `args` (quoted for the shell) as run() runs a command.
int runTool(const std::string& args, std::string* out = nullptr, bool withStderr = false);
// Runs the tool where it must succeed, as mustRun() runs a command.
std::string mustRunTool(const std::string& args);

std::vector<unsigned char> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<unsigned char>& data);
void copyFile(const std::string& from, const std::string& to);
// Overwrites bytes of a file in place.
void patchFile(const std::string& path, uint64_t offset, const std::vector<unsigned char>& bytes);
std::vector<unsigned char> readAt(const std::string& path, uint64_t offset, size_t size);
void putLE16(std::vector<unsigned char>* v, size_t at, uint16_t x);
void putLE32(std::vector<unsigned char>* v, size_t at, uint32_t x);
void putBE32(std::vector<unsigned char>* v, size_t at, uint32_t x);
uint32_t getLE32(const std::vector<unsigned char>& v, size_t at);
uint32_t getBE32(const std::vector<unsigned char>& v, size_t at);

// CRC-32C (reflected 0x82F63B78) and ext4's CRC-16 (reflected 0xA001), bit by bit and without
// inversions: the tests' own, for resealing metadata that a test edits.
uint32_t crc32cBits(uint32_t crc, const unsigned char* p, size_t n);
uint16_t crc16Bits(uint16_t crc, const unsigned char* p, size_t n);
// Restores the version-5 CRC of the `length` bytes of XFS metadata at `offset` of the file, whose
// checksum field is at `crcAt` within them.
void resealXfs(const std::string& path, uint64_t offset, size_t length, size_t crcAt);

// A bitmap returned by getBmp, freed with free().
struct ChunkBitmap {
  std::unique_ptr<unsigned char, void (*)(void*)> bits{nullptr, free};
  long long nChunks = 0;
  bool test(long long c) const { return (bits.get()[c >> 3] >> (c & 7)) & 1; }
};
CVoError getBitmap(FsParser* parser, int chunkSize, ChunkBitmap* out);
CVoError getBitmap(FsDisk* disk, int chunkSize, ChunkBitmap* out);
// The number of used chunks.
long long usedChunks(const ChunkBitmap& got);
// Chunks [from, to) all used; names the first that is not.
::testing::AssertionResult allUsed(const ChunkBitmap& got, long long from, long long to);

// Expected chunk bits from a per-block used map: chunk c is used when any of its blocks is.
std::vector<bool> chunksFromBlocks(const std::vector<bool>& usedBlocks, long long blocksPerChunk);

// Compares chunks [0, compareChunks) with `expected`; names the first few differences.
::testing::AssertionResult sameChunks(const ChunkBitmap& got, const std::vector<bool>& expected,
                                      long long compareChunks);

// Collects the debug log while it lives.
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  std::vector<std::string> lines;  // "TAG: text"
  bool contains(const std::string& fragment) const;
};

// Number of open descriptors of this process.
int countOpenFds();

// Parses "a-b, c, d-e" range lists as dumpe2fs and debugreiserfs print them; calls back per range.
void forEachRange(const std::string& list, void (*fn)(void*, long long, long long), void* ctx);

// A loop device over a scratch file (with `partitions`, its partitions as devices too; with
// `sectorBytes`, logical sectors of that size), detached on every way out. `device` is empty, with
// the reason in `why`, where there is none (not root, no losetup, none free).
struct LoopDevice {
  std::string device;
  std::string why;
  explicit LoopDevice(const std::string& file, bool partitions = false, int sectorBytes = 512);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
};

}  // namespace fsbmp_test

// Skips the current test when a tool is missing.
#define FSBMP_REQUIRE_TOOL(name)                                                       \
  do {                                                                                 \
    if (!::fsbmp_test::haveCommand(name)) GTEST_SKIP() << name << " is not installed"; \
  } while (0)

#endif
