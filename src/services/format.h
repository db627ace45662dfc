// printf-style formatting into std::string.
#ifndef FSBMP_SERVICES_FORMAT_H
#define FSBMP_SERVICES_FORMAT_H

#include <cstdarg>
#include <string>

namespace fsbmp {

std::string vformat(const char* format, va_list args);
std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace fsbmp

#endif
