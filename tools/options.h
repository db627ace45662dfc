// The command line: a command, its DEVICE (and TARGET), and options in any order.
#ifndef FSBMP_TOOLS_OPTIONS_H
#define FSBMP_TOOLS_OPTIONS_H

#include <string>
#include <vector>

namespace fsbmp_tool {

struct Options {
  std::vector<std::string> positional;  // command first
  std::string chunkSize;
  std::string output;
  std::string format;
  std::string png;
  std::string bitmapIn;  // copy: a raw bitmap to follow instead of the file system's
  bool json = false;
  bool quiet = false;
  bool debug = false;
  bool help = false;
  bool version = false;
};

// False with the reason in *error for an unknown option or a missing value.
bool parseOptions(int argc, char** argv, Options* options, std::string* error);

// Parses "65536", "64K", "1M", "1G" (binary multiples; "KiB", "KB" etc. too).
bool parseSize(const std::string& text, long long* out);

}  // namespace fsbmp_tool

#endif
