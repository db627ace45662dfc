#include "vxfs/fsbmpVxFSText.h"

#include <cctype>
#include <climits>
#include <cstring>

namespace fsbmp {
namespace vxfs {

namespace {

bool isSpace(char c) {
  return isspace(static_cast<unsigned char>(c)) != 0;
}

// The value of one hexadecimal digit, either case; -1 for anything else.
int hexValue(char c) {
  int l = tolower(static_cast<unsigned char>(c));
  if (l >= '0' && l <= '9') return l - '0';
  if (l >= 'a' && l <= 'f') return l - 'a' + 10;
  return -1;
}

}  // namespace

std::string getToken(const char*& p) {
  std::string token;
  if (*p == '\0') return token;
  while (*p != '\0' && isSpace(*p)) ++p;
  const char* start = p;
  while (*p != '\0' && !isSpace(*p)) ++p;
  token.assign(start, p);
  return token;
}

std::string findToken(const char* text, const char* name) {
  const char* p = text;
  while (*p != '\0') {
    if (getToken(p) == name) return getToken(p);
  }
  return std::string();
}

long long leadingDigits(const std::string& token) {
  long long v = 0;
  for (char c : token) {
    if (c < '0' || c > '9') break;
    const int d = c - '0';
    if (v > (LLONG_MAX - d) / 10) return LLONG_MAX;
    v = v * 10 + d;
  }
  return v;
}

int toInt(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && isSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) break;
  }
  if (negative) v = -v;
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

DumpResult decodeHexDump(const char* text, unsigned char* buf, int size) {
  const char* p = text;
  long long stored = 0;  // bytes the dump holds, also past `size` (those are not kept)
  while ((p = strchr(p, ':')) != nullptr) {
    ++p;
    for (int i = 0; i < 16; ++i) {
      while (*p != '\0' && isSpace(*p)) ++p;
      if (p[0] == '\0' || p[1] == '\0') return kDumpCorrupt;
      const int high = hexValue(p[0]);
      const int low = hexValue(p[1]);
      if (high < 0 || low < 0) return kDumpCorrupt;
      if (stored < size) buf[stored] = static_cast<unsigned char>(high * 16 + low);
      ++stored;
      p += 2;
    }
  }
  return stored == size ? kDumpOk : kDumpWrongSize;
}

}  // namespace vxfs
}  // namespace fsbmp
