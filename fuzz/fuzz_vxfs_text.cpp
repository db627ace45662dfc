// The readers of fsdb's text answers: tokens, named fields, numbers and the hexadecimal dump.
//
// Input: byte 0 picks the dump's block size (512 << (byte % 8)); the rest is the answer text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "promises.h"
#include "vxfs/fsbmpVxFSText.h"

using fsbmp_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace fsbmp::vxfs;
  if (size < 1) return 0;
  const int blockSize = 512 << (data[0] % 8);
  // The answer exactly as long as the input, NUL-terminated as the parser's strings are.
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  const char* p = text.c_str();
  const char* end = p + strlen(p);
  for (;;) {
    const char* before = p;
    const std::string token = getToken(p);
    check(p >= before && p <= end, "getToken stays inside the text");
    if (token.empty()) {
      check(p == end, "an empty token only at the end");
      break;
    }
    check(p > before, "getToken moves on");
    leadingDigits(token);
    toInt(token);
  }
  for (const char* name :
       {"magic", "version", "bsize", "size", "aublocks", "fsf_ninode", "type", "ex_st", "offset"}) {
    const std::string value = findToken(text.c_str(), name);
    check(value.find_first_of(" \t\n\r\f\v") == std::string::npos, "a field is one token");
    const long long n = leadingDigits(value);
    check(n >= 0, "digits are never negative");
    toInt(value);
  }

  // Exactly blockSize bytes, so that the sanitizer sees any write past the end.
  std::vector<unsigned char> buf(static_cast<size_t>(blockSize));
  const DumpResult r = decodeHexDump(text.c_str(), buf.data(), blockSize);
  check(r == kDumpOk || r == kDumpCorrupt || r == kDumpWrongSize, "a known result");
  return 0;
}
