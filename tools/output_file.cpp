#include "output_file.h"

#include <cerrno>
#include <cstring>

namespace fsbmp_tool {

OutputFile::~OutputFile() {
  if (stream_ && stream_ != stdout) fclose(stream_);
}

bool OutputFile::open(const std::string& path, bool binary) {
  if (path.empty() || path == "-") {
    stream_ = stdout;
    name_ = "standard output";
    return true;
  }
  name_ = path;
  stream_ = fopen(path.c_str(), binary ? "wbe" : "we");
  if (!stream_) {
    fprintf(stderr, "fsbmp: couldn't create %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  return true;
}

bool OutputFile::close() {
  if (!stream_) return false;
  bool ok = !ferror(stream_);
  int savedErrno = ok ? 0 : EIO;
  if (fflush(stream_) != 0) {
    ok = false;
    savedErrno = errno;
  }
  if (stream_ != stdout && fclose(stream_) != 0 && ok) {
    ok = false;
    savedErrno = errno;
  }
  stream_ = nullptr;
  if (!ok) fprintf(stderr, "fsbmp: couldn't write %s: %s\n", name_.c_str(), strerror(savedErrno));
  return ok;
}

}  // namespace fsbmp_tool
