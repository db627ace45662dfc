// The floor's reading plan, shared by fsbmp_bench and fsbmp_floor: byte ranges from a list
// ("OFFSET LENGTH" per line), sorted, adjacent and overlapping ones merged, each read once with
// pread, long ones 4 MiB at a time (as the copy reads its runs).
#ifndef FSBMP_BENCH_RANGES_H
#define FSBMP_BENCH_RANGES_H

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

namespace bench {

typedef std::vector<std::pair<long long, long long>> Ranges;

const long long kRequestBytes = 4LL << 20;

// False when the list cannot be opened.
inline bool loadRanges(const char* listPath, Ranges* merged) {
  Ranges ranges;
  FILE* list = fopen(listPath, "r");
  if (!list) return false;
  long long off, len;
  while (fscanf(list, "%lld %lld", &off, &len) == 2) ranges.emplace_back(off, len);
  fclose(list);
  std::sort(ranges.begin(), ranges.end());
  merged->clear();
  for (const auto& r : ranges) {
    if (!merged->empty() && r.first <= merged->back().first + merged->back().second) {
      const long long end =
          std::max(merged->back().first + merged->back().second, r.first + r.second);
      merged->back().second = end - merged->back().first;
    } else {
      merged->push_back(r);
    }
  }
  return true;
}

// The largest single request the ranges need: the size of the read buffer.
inline long long largestRequest(const Ranges& merged) {
  long long largest = 0;
  for (const auto& r : merged) largest = std::max(largest, std::min(r.second, kRequestBytes));
  return largest;
}

// One pass over the ranges; false when any read comes back short.
inline bool readRanges(int fd, const Ranges& merged, unsigned char* buf) {
  bool good = true;
  for (const auto& r : merged)
    for (long long at = 0; at < r.second; at += kRequestBytes) {
      const long long n = std::min(kRequestBytes, r.second - at);
      if (pread(fd, buf, static_cast<size_t>(n), r.first + at) != n) good = false;
    }
  return good;
}

}  // namespace bench

#endif
