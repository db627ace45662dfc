// Populated images of every supported file system, each with its free space filled with a
// pattern, and the checks that tell whether a copy of one lost anything.
#ifndef FSBMP_TESTS_E2E_IMAGES_H
#define FSBMP_TESTS_E2E_IMAGES_H

#include <functional>
#include <string>
#include <vector>

#include "common/oracle.h"

namespace e2e_test {

enum class Kind { kExt, kXfs, kReiserFS, kVxFS };

// An image ("ext4", "xfs-v5", ...) whose free blocks are overwritten with the pattern; its used
// blocks as the file system's own tool says.
struct FsImage : fsbmp_test::OracleImage {
  Kind kind = Kind::kExt;
  long long chunkSize = 0;    // the chunk size its copies are made with
  bool hasFiles = false;      // populated from contentDir()
  bool mountable = false;     // the kernel here can mount it (read-only loop mount)
  long long dataOffset = -1;  // a byte holding file data (or, without files, metadata)
};

// The files the populated images hold.
const std::string& contentDir();

// The images, made once per test program.
const std::vector<FsImage>& images();
const FsImage* image(const std::string& name);

// The fsbmp tool as a shell command (with the emulator of a cross build, and the fsdb stand-in
// first on PATH for VxFS).
std::string tool();

// A whole file, read in large requests.
std::vector<unsigned char> readWhole(const std::string& path);

// Calls `fn(offset, length)` for each "OFFSET LENGTH" line of `fsbmp bitmap --format ranges`.
void forEachRangeLine(const std::string& text, const std::function<void(long long, long long)>& fn);

// Checks a copy of `image` against everything the file system uses: the bytes of each used
// block, the file system's checker, and the files it holds. Returns "" when nothing is lost,
// otherwise what was found wrong. `notes` receives the checks that could not run here.
std::string findLoss(const FsImage& image, const std::string& copy, std::string* notes);

using fsbmp_test::LoopDevice;

// A mount of `device` on a fresh directory, unmounted and removed on every way out. `dir` is
// empty when the mount failed (`error` says why).
struct Mount {
  std::string dir;
  std::string error;
  Mount(const std::string& device, const std::string& options);
  ~Mount();
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
};

}  // namespace e2e_test

#endif
