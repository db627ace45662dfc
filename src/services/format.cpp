#include "services/format.h"

#include <cstdio>

namespace fsbmp {

std::string vformat(const char* format, va_list args) {
  if (!format) return std::string();
  char small[256];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::string out(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&out[0], out.size(), format, args);
  out.resize(n);
  return out;
}

std::string format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = vformat(format, args);
  va_end(args);
  return out;
}

}  // namespace fsbmp
