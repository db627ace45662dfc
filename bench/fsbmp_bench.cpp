// fsbmp_bench: times what a backup waits for before its first byte is copied.
//
//   fsbmp_bench bitmap DEVICE CHUNK RUNS [--cold] [--verify]
//       probe (FsParser::init) plus getBmp(CHUNK), RUNS times, each on a fresh parser; with
//       --verify, the scan of every file too (setVerify)
//   fsbmp_bench pass BYTES RUNS
//       calloc, one memset and free of a bitmap of BYTES bytes: what one pass over the bitmap costs
//   fsbmp_bench floor DEVICE LIST RUNS [--cold]
//       one pread of every byte range in LIST ("OFFSET LENGTH" per line, in bytes; adjacent
//       ranges are merged, long ones read 4 MiB at a time): the least reading any tool must do
//       to learn the used space, or, given a copy's used runs, to copy them
//   fsbmp_bench pair DEVICE LIST CHUNK RUNS
//       the floor's reads and fsbmp's map (as `bitmap`) in turn, RUNS times each, so that both
//       find the caches as the other left them; medians of both and their ratio
//   fsbmp_bench process RUNS COMMAND [ARGS...]
//       a whole process RUNS times (start-up, probe and exit included): `fsbmp bitmap ...`
//       against fsbmp_floor, which only reads the metadata
//   fsbmp_bench cpair DEVICE CHUNK RUNS
//       the bitmap through the C++ interface (as `bitmap`) and through the C one (fsbmp_open and
//       fsbmp_bitmap) in turn, RUNS times each on fresh sources; medians of both and their ratio
//   fsbmp_bench crc BYTES PIECE RUNS
//       CRC-32C of BYTES in pieces of PIECE bytes (4096: one ext4 block bitmap each)
//
// Prints one line of key=value pairs: medians over the runs of wall and CPU time (µs), the read
// requests and bytes of one run (from /proc/self/io), the peak resident set of the process (KiB),
// and for `bitmap` the bitmap's size and set bits. --cold drops the device's pages from the page
// cache before every run (posix_fadvise DONTNEED, which works on image files without privilege).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fsbmp/fsbmp.h"
#include "fsbmp/fsbmp_c.h"
#include "fsbmp/services/crc32c.h"
#include "ranges.h"

namespace {

struct IoCounters {
  long long syscr = 0;
  long long rchar = 0;
};

IoCounters readIo() {
  IoCounters io;
  FILE* f = fopen("/proc/self/io", "r");
  if (!f) return io;
  char key[64];
  long long v;
  while (fscanf(f, "%63[^:]: %lld\n", key, &v) == 2) {
    if (strcmp(key, "syscr") == 0) io.syscr = v;
    if (strcmp(key, "rchar") == 0) io.rchar = v;
  }
  fclose(f);
  return io;
}

double nowUs(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void dropCache(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

long peakRssKiB() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

struct Sample {
  double wall = 0;
  double cpu = 0;
  IoCounters io;
};

// Times `work` RUNS times; `after`, untimed, follows each run.
template <class Work, class After>
bool measure(const char* device, int runs, bool cold, std::vector<Sample>* samples, Work work,
             After after) {
  for (int r = 0; r < runs; ++r) {
    if (cold) dropCache(device);
    Sample s;
    const IoCounters before = readIo();
    const double w0 = nowUs(CLOCK_MONOTONIC);
    const double c0 = nowUs(CLOCK_PROCESS_CPUTIME_ID);
    if (!work()) return false;
    s.cpu = nowUs(CLOCK_PROCESS_CPUTIME_ID) - c0;
    s.wall = nowUs(CLOCK_MONOTONIC) - w0;
    const IoCounters end = readIo();
    s.io.syscr = end.syscr - before.syscr;
    s.io.rchar = end.rchar - before.rchar;
    samples->push_back(s);
    after();
  }
  return true;
}

void report(const std::vector<Sample>& samples) {
  std::vector<double> wall, cpu;
  for (const Sample& s : samples) {
    wall.push_back(s.wall);
    cpu.push_back(s.cpu);
  }
  printf("wall_us=%.0f cpu_us=%.0f reads=%lld read_bytes=%lld peak_rss_kib=%ld", median(wall),
         median(cpu), samples.back().io.syscr, samples.back().io.rchar, peakRssKiB());
}

int bitmapMode(const char* device, int chunkSize, int runs, bool cold, bool verify) {
  std::vector<Sample> samples;
  long long nChunks = 0, setBits = 0, bytes = 0;
  std::string failure;
  void* bmp = nullptr;
  std::vector<double> probeCpu;
  const bool ok = measure(
      device, runs, cold, &samples,
      [&]() {
        CVoError err;
        const double p0 = nowUs(CLOCK_PROCESS_CPUTIME_ID);
        std::unique_ptr<FsParser> parser(FsParser::init(device, &err));
        probeCpu.push_back(nowUs(CLOCK_PROCESS_CPUTIME_ID) - p0);
        if (!parser) {
          failure = err.toString();
          return false;
        }
        if (verify) err = parser->setVerify(true);
        if (err.code >= 0) err = parser->getBmp(chunkSize, &bmp, &nChunks);
        if (err.code < 0) {
          failure = err.toString();
          return false;
        }
        return true;
      },
      [&]() {
        bytes = (nChunks + 7) / 8;
        setBits = 0;
        const unsigned char* b = static_cast<const unsigned char*>(bmp);
        for (long long c = 0; c < nChunks; ++c) setBits += (b[c >> 3] >> (c & 7)) & 1;
        free(bmp);
        bmp = nullptr;
      });
  if (!ok) {
    fprintf(stderr, "fsbmp_bench: %s: %s\n", device, failure.c_str());
    return 1;
  }
  report(samples);
  printf(" probe_cpu_us=%.0f bitmap_bytes=%lld chunks=%lld used_chunks=%lld\n", median(probeCpu),
         bytes, nChunks, setBits);
  return 0;
}

int floorMode(const char* device, const char* listPath, int runs, bool cold) {
  bench::Ranges merged;
  if (!bench::loadRanges(listPath, &merged)) {
    perror(listPath);
    return 1;
  }
  long long total = 0;
  for (const auto& r : merged) total += r.second;
  std::vector<unsigned char> buf(static_cast<size_t>(bench::largestRequest(merged)));
  std::vector<Sample> samples;
  const bool ok = measure(
      device, runs, cold, &samples,
      [&]() {
        int fd = open(device, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        const bool good = bench::readRanges(fd, merged, buf.data());
        close(fd);
        return good;
      },
      []() {});
  if (!ok) {
    fprintf(stderr, "fsbmp_bench: couldn't read the ranges of %s from %s\n", listPath, device);
    return 1;
  }
  report(samples);
  printf(" ranges=%zu bytes=%lld\n", merged.size(), total);
  return 0;
}

int pairMode(const char* device, const char* listPath, int chunkSize, int runs) {
  bench::Ranges merged;
  if (!bench::loadRanges(listPath, &merged)) {
    perror(listPath);
    return 1;
  }
  std::vector<unsigned char> buf(static_cast<size_t>(bench::largestRequest(merged)));
  std::vector<double> floorCpu, mapCpu;
  for (int r = 0; r < runs; ++r) {
    double c0 = nowUs(CLOCK_PROCESS_CPUTIME_ID);
    const int fd = open(device, O_RDONLY | O_CLOEXEC);
    const bool good = fd >= 0 && bench::readRanges(fd, merged, buf.data());
    if (fd >= 0) close(fd);
    floorCpu.push_back(nowUs(CLOCK_PROCESS_CPUTIME_ID) - c0);
    c0 = nowUs(CLOCK_PROCESS_CPUTIME_ID);
    CVoError err;
    std::unique_ptr<FsParser> parser(FsParser::init(device, &err));
    void* bmp = nullptr;
    long long chunks = 0;
    if (parser) err = parser->getBmp(chunkSize, &bmp, &chunks);
    mapCpu.push_back(nowUs(CLOCK_PROCESS_CPUTIME_ID) - c0);
    free(bmp);
    if (!good || !parser || err.code < 0) {
      fprintf(stderr, "fsbmp_bench: %s: %s\n", device,
              good ? err.toString().c_str() : "couldn't read the floor's ranges");
      return 1;
    }
  }
  const double f = median(floorCpu), m = median(mapCpu);
  printf("floor_cpu_us=%.0f fsbmp_cpu_us=%.0f ratio=%.2f\n", f, m, f > 0 ? m / f : 0);
  return 0;
}

// Runs a whole command RUNS times, its output to /dev/null, and reports the medians of its wall
// time, its CPU time (user + system, from wait4) and its minor page faults, and the largest
// resident set any run reached.
int processMode(int runs, char** command) {
  std::vector<double> wall, cpu, faults;
  long peak = 0;
  for (int r = 0; r < runs; ++r) {
    const double w0 = nowUs(CLOCK_MONOTONIC);
    const pid_t pid = fork();
    if (pid < 0) {
      perror("fork");
      return 1;
    }
    if (pid == 0) {
      const int null = open("/dev/null", O_WRONLY);
      if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
      }
      execvp(command[0], command);
      _exit(127);
    }
    int status = 0;
    rusage ru;
    if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      fprintf(stderr, "fsbmp_bench: %s failed (status %d)\n", command[0], status);
      return 1;
    }
    wall.push_back(nowUs(CLOCK_MONOTONIC) - w0);
    cpu.push_back(static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 +
                  static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec));
    faults.push_back(static_cast<double>(ru.ru_minflt));
    peak = std::max(peak, ru.ru_maxrss);
  }
  printf("wall_us=%.0f cpu_us=%.0f minflt=%.0f peak_rss_kib=%ld\n", median(wall), median(cpu),
         median(faults), peak);
  return 0;
}

int passMode(long long bytes, int runs) {
  std::vector<Sample> samples;
  const bool ok = measure(
      "/dev/null", runs, false, &samples,
      [&]() {
        void* b = calloc(static_cast<size_t>(bytes), 1);
        if (!b) return false;
        memset(b, 0xFF, static_cast<size_t>(bytes));
        // Keep the compiler from dropping the stores.
        asm volatile("" : : "r"(b) : "memory");
        free(b);
        return true;
      },
      []() {});
  if (!ok) return 1;
  report(samples);
  printf(" bytes=%lld\n", bytes);
  return 0;
}

// The C++ interface's map and the C interface's, in turn, so that both find the caches alike.
int cPairMode(const char* device, int chunkSize, int runs) {
  std::vector<double> cxxWall, cxxCpu, cWall, cCpu;
  for (int r = 0; r < runs; ++r) {
    double w0 = nowUs(CLOCK_MONOTONIC), c0 = nowUs(CLOCK_PROCESS_CPUTIME_ID);
    CVoError err;
    std::unique_ptr<FsParser> parser(FsParser::init(device, &err));
    void* bmp = nullptr;
    long long nChunks = 0;
    if (parser) err = parser->getBmp(chunkSize, &bmp, &nChunks);
    parser.reset();
    free(bmp);
    cxxCpu.push_back(nowUs(CLOCK_PROCESS_CPUTIME_ID) - c0);
    cxxWall.push_back(nowUs(CLOCK_MONOTONIC) - w0);
    if (err.code < 0) {
      fprintf(stderr, "fsbmp_bench: %s: %s\n", device, err.toString().c_str());
      return 1;
    }
    w0 = nowUs(CLOCK_MONOTONIC);
    c0 = nowUs(CLOCK_PROCESS_CPUTIME_ID);
    fsbmp_source* s = nullptr;
    fsbmp_error cerr;
    uint8_t* bits = nullptr;
    uint64_t n = 0;
    const int rc = fsbmp_open(device, &s, &cerr) == 0
                       ? fsbmp_bitmap(s, static_cast<uint64_t>(chunkSize), &bits, &n, &cerr)
                       : -1;
    fsbmp_close(s);
    fsbmp_free(bits);
    cCpu.push_back(nowUs(CLOCK_PROCESS_CPUTIME_ID) - c0);
    cWall.push_back(nowUs(CLOCK_MONOTONIC) - w0);
    if (rc != 0) {
      fprintf(stderr, "fsbmp_bench: %s: %s\n", device, cerr.message);
      return 1;
    }
  }
  const double cxx = median(cxxCpu), c = median(cCpu);
  printf("cxx_wall_us=%.0f cxx_cpu_us=%.0f c_wall_us=%.0f c_cpu_us=%.0f cpu_ratio=%.3f\n",
         median(cxxWall), cxx, median(cWall), c, cxx > 0 ? c / cxx : 0);
  return 0;
}

int usage() {
  fprintf(stderr,
          "usage: fsbmp_bench bitmap DEVICE CHUNK RUNS [--cold] [--verify]\n"
          "       fsbmp_bench pass BYTES RUNS\n"
          "       fsbmp_bench floor DEVICE LIST RUNS [--cold]\n"
          "       fsbmp_bench pair DEVICE LIST CHUNK RUNS\n"
          "       fsbmp_bench process RUNS COMMAND [ARGS...]\n"
          "       fsbmp_bench cpair DEVICE CHUNK RUNS\n"
          "       fsbmp_bench crc BYTES PIECE RUNS\n");
  return 2;
}

// CRC-32C of BYTES in pieces of PIECE bytes, each from a fresh start value, as the ext4 walk
// checks one block bitmap after another. The pieces cycle through 64 KiB, as the walk's batches
// do, so that the data is in the cache as it is there: what checksum verification adds to a map.
int crcMode(long long bytes, long long piece, int runs) {
  const long long kBatch = 64 * 1024;
  if (bytes <= 0 || piece <= 0 || piece > kBatch) return usage();
  std::vector<unsigned char> data(static_cast<size_t>(kBatch));
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + i / 251);
  std::vector<Sample> samples;
  uint32_t sum = 0;
  const bool ok = measure(
      "/dev/null", runs, false, &samples,
      [&]() {
        for (long long at = 0; at + piece <= bytes; at += piece) {
          uint32_t crc = ~0u;
          mb_crc32c(data.data() + at % (kBatch - kBatch % piece), static_cast<size_t>(piece), &crc);
          sum += crc;
        }
        return true;
      },
      []() {});
  if (!ok) return 1;
  report(samples);
  printf(" bytes=%lld piece=%lld sum=%08x\n", bytes, piece, sum);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "pass") == 0) return passMode(atoll(argv[2]), atoi(argv[3]));
  if (argc == 5 && strcmp(argv[1], "crc") == 0)
    return crcMode(atoll(argv[2]), atoll(argv[3]), atoi(argv[4]));
  if (argc >= 4 && strcmp(argv[1], "process") == 0 && atoi(argv[2]) >= 1)
    return processMode(atoi(argv[2]), argv + 3);
  if (argc == 6 && strcmp(argv[1], "pair") == 0 && atoi(argv[5]) >= 1)
    return pairMode(argv[2], argv[3], atoi(argv[4]), atoi(argv[5]));
  if (argc < 5 || argc > 7) return usage();
  const std::string mode = argv[1];
  const int runs = atoi(argv[4]);
  bool cold = false, verify = false;
  for (int k = 5; k < argc; ++k) {
    if (strcmp(argv[k], "--cold") == 0)
      cold = true;
    else if (strcmp(argv[k], "--verify") == 0)
      verify = true;
    else
      return usage();
  }
  if (runs < 1 || (verify && mode != "bitmap") || (cold && mode == "cpair")) return usage();
  if (mode == "cpair" && argc == 5) return cPairMode(argv[2], atoi(argv[3]), runs);
  if (mode == "bitmap") return bitmapMode(argv[2], atoi(argv[3]), runs, cold, verify);
  if (mode == "floor") return floorMode(argv[2], argv[3], runs, cold);
  return usage();
}
