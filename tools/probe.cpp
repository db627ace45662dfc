#include "probe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fsbmp/fsbmpExt2.h"
#include "fsbmp/fsbmpReiserFS.h"
#include "fsbmp/fsbmpVxFS.h"
#include "fsbmp/fsbmpXFS.h"

namespace fsbmp_tool {

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

namespace {

// The factory keeps only its last candidate's error; this asks each candidate again, in the
// factory's order, and prints every refusal.
void reportRefusals(const std::string& device, bool verbose) {
  struct Candidate {
    const char* name;
    FsParser* (*make)(const std::string&, CVoError*);
  };
  static const Candidate kCandidates[] = {
      {"VxFS",
       [](const std::string& d, CVoError* e) -> FsParser* { return new FsParserVxFS(d, e); }},
      {"ext2/3/4",
       [](const std::string& d, CVoError* e) -> FsParser* { return new FsParserExt2(d, e); }},
      {"ReiserFS",
       [](const std::string& d, CVoError* e) -> FsParser* { return new FsParserReiserFS(d, e); }},
      {"XFS", [](const std::string& d, CVoError* e) -> FsParser* { return new FsParserXFS(d, e); }},
  };
  fprintf(stderr, "fsbmp: no supported file system recognised on %s; tried:\n", device.c_str());
  for (const Candidate& c : kCandidates) {
    CVoError err;
    std::unique_ptr<FsParser> parser(c.make(device, &err));
    if (err.code >= 0) {
      // The device changed between the two looks.
      fprintf(stderr, "  %-9s accepted on a second look\n", c.name);
      continue;
    }
    std::string why = err.rootMessage();
    if (why.empty()) why = err.message();
    if (err.errNo() != 0 && err.errNo() != ENOSYS &&
        why.find(strerror(err.errNo())) == std::string::npos)
      why += std::string(" (") + strerror(err.errNo()) + ")";
    fprintf(stderr, "  %-9s %s\n", c.name, why.c_str());
    if (verbose) {
      std::string stack = err.toString();
      size_t start = 0;
      while (start < stack.size()) {
        size_t end = stack.find('\n', start);
        if (end == std::string::npos) end = stack.size();
        fprintf(stderr, "              %s\n", stack.substr(start, end - start).c_str());
        start = end + 1;
      }
    }
  }
}

}  // namespace

std::unique_ptr<FsParser> openParser(const std::string& device, bool verbose) {
  // A device that cannot be opened at all is reported as such, not as an unknown file system.
  int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "fsbmp: couldn't open %s for reading: %s\n", device.c_str(), strerror(errno));
    return nullptr;
  }
  close(fd);
  CVoError err;
  std::unique_ptr<FsParser> parser(FsParser::init(device, &err));
  if (!parser) reportRefusals(device, verbose);
  return parser;
}

}  // namespace fsbmp_tool
