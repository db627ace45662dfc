// Where a command's document goes: a named file, or standard output for "" and "-". Write
// errors are remembered and reported once, at close.
#ifndef FSBMP_TOOLS_OUTPUT_FILE_H
#define FSBMP_TOOLS_OUTPUT_FILE_H

#include <cstdio>
#include <string>

namespace fsbmp_tool {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Prints why and returns false when the file cannot be created.
  bool open(const std::string& path, bool binary);
  FILE* stream() const { return stream_; }
  bool isStdout() const { return stream_ == stdout; }
  // Flushes and closes; prints why and returns false when anything failed to be written.
  bool close();

 private:
  FILE* stream_ = nullptr;
  std::string name_;
};

}  // namespace fsbmp_tool

#endif
