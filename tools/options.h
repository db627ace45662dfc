// The command line: global options, a command, its DEVICE (and TARGET), and the command's
// options in any order, parsed with getopt_long.
#ifndef FSBMP_TOOLS_OPTIONS_H
#define FSBMP_TOOLS_OPTIONS_H

#include <string>
#include <vector>

namespace fsbmp_tool {

// Every option the tool knows; each command takes some of them.
enum OptionId {
  kOptChunkSize,
  kOptOutput,
  kOptFormat,
  kOptPng,
  kOptBitmap,
  kOptJson,
  kOptQuiet,
  kOptForce,
  kOptDirect,
  kOptJournalDevice,
  kOptMember,
  kOptDecrypted,
  kOptVerify,
  kOptPartition,
  kOptDebug,
  kOptHelp,
  kOptVersion,
  kOptCount
};

struct Options {
  std::vector<std::string> positional;  // command first
  std::string chunkSize;
  std::string output;
  std::string format;
  std::string png;
  std::string bitmapIn;              // copy: a raw bitmap to follow instead of the file system's
  std::string journalDevice;         // the device holding the file system's external journal or log
  std::vector<std::string> members;  // other devices of a file system (btrfs) or md array
  std::vector<std::string> decrypted;  // opened devices decrypting LUKS containers on a disk
  std::string partition;               // a disk's partition number, taken as the device
  bool json = false;
  bool quiet = false;
  bool force = false;
  bool direct = false;
  bool verify = false;  // scan the files too (ext2/3/4), adding what the maps call free
  bool debug = false;
  bool help = false;
  bool version = false;
  bool seen[kOptCount] = {};  // which options were given
};

// False with the reason in *error for an unknown option or a missing value.
bool parseOptions(int argc, char** argv, Options* options, std::string* error);

// The option's long spelling, "--chunk-size".
std::string optionName(OptionId id);

// Parses "65536", "64K", "1M", "1G" (binary multiples; "KiB", "KB" etc. too).
bool parseSize(const std::string& text, long long* out);

// A chunk size: a power of two from 1 to 1G. False with the reason in *error.
bool parseChunkSize(const std::string& text, long long* out, std::string* error);

}  // namespace fsbmp_tool

#endif
