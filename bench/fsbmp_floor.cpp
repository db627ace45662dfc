// fsbmp_floor: the floor as a whole process. It reads every range of LIST from DEVICE once
// (bench/ranges.h) and exits: what a process that only reads the metadata of a used-space map
// costs, start-up included, to set against a whole `fsbmp bitmap` run. It links nothing of
// fsbmp.
//
//   fsbmp_floor DEVICE LIST
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "ranges.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: fsbmp_floor DEVICE LIST\n");
    return 2;
  }
  bench::Ranges merged;
  if (!bench::loadRanges(argv[2], &merged)) {
    perror(argv[2]);
    return 1;
  }
  std::vector<unsigned char> buf(static_cast<size_t>(bench::largestRequest(merged)));
  const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    perror(argv[1]);
    return 1;
  }
  const bool good = bench::readRanges(fd, merged, buf.data());
  close(fd);
  if (!good) {
    fprintf(stderr, "fsbmp_floor: short read from %s\n", argv[1]);
    return 1;
  }
  return 0;
}
