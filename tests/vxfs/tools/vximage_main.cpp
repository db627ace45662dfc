// vximage: writes an image for the fsdb test double from a short description.
//   vximage IMAGE [--block-size N] [--blocks N] [--au-blocks N] [--free-units U,U,...]
//                 [--used A-B,C,...] [--extent-blocks N]
// Units listed as free must hold no used block; the metadata is laid out and marked by itself.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "vximage.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: vximage IMAGE [--block-size N] [--blocks N] [--au-blocks N]\n"
          "               [--free-units U,U,...] [--used A-B,C,...] [--extent-blocks N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  vximage::Description d;
  d.extentBlocks = 16;
  std::string usedText, freeText;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    std::string v = argv[++i];
    if (a == "--block-size") {
      d.blockSize = atoi(v.c_str());
    } else if (a == "--blocks") {
      d.blockCount = atoll(v.c_str());
    } else if (a == "--au-blocks") {
      d.auBlocks = atoi(v.c_str());
      d.printAuBlocks = true;
    } else if (a == "--free-units") {
      freeText = v;
    } else if (a == "--extent-blocks") {
      d.extentBlocks = atoi(v.c_str());
    } else if (a == "--used") {
      usedText = v;
    } else {
      return usage();
    }
  }
  if (d.blockSize <= 0 || d.blockCount <= 0 || d.auBlocks <= 0) return usage();
  d.used.assign(static_cast<size_t>(d.blockCount), false);
  std::istringstream units(freeText);
  for (std::string item; std::getline(units, item, ',');)
    if (!item.empty()) d.freeUnits.insert(atoi(item.c_str()));
  std::istringstream ranges(usedText);
  for (std::string item; std::getline(ranges, item, ',');) {
    long long a = 0, b = 0;
    int n = sscanf(item.c_str(), "%lld-%lld", &a, &b);
    if (n == 1) b = a;
    if (n < 1 || a < 0 || b < a || b >= d.blockCount) return usage();
    for (long long x = a; x <= b; ++x) d.used[static_cast<size_t>(x)] = true;
  }
  vximage::Layout layout;
  std::string error;
  if (!vximage::build(argv[1], d, &layout, &error)) {
    fprintf(stderr, "vximage: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
