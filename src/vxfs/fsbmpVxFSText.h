// Reading fsdb's text answers: whitespace-delimited tokens, named fields, decimal values and the
// hexadecimal block dump. Internal to the VxFS parser (and its tests).
#ifndef FSBMP_FSBMPVXFSTEXT_H
#define FSBMP_FSBMPVXFSTEXT_H

#include <string>

namespace fsbmp {
namespace vxfs {

// Returns the next token at or after p (a run of characters that are not isspace) and leaves p
// on the character after it; empty, with p at the end, when only whitespace is left.
std::string getToken(const char*& p);

// Returns the token after the first token equal to `name` (whole, case-sensitive), or "" when
// there is none.
std::string findToken(const char* text, const char* name);

// The leading decimal digits of `token` (no sign, no blanks; 0 when it starts otherwise),
// saturating at the largest long long.
long long leadingDigits(const std::string& token);

// The value atoi() gives for well-formed text (blanks, sign, digits), clamped to the int range
// instead of overflowing.
int toInt(const std::string& text);

enum DumpResult { kDumpOk, kDumpCorrupt, kDumpWrongSize };

// Decodes fsdb's dump of one block into buf (`size` bytes): after every colon, 16 pairs of
// adjacent hexadecimal digits, each pair possibly preceded by whitespace. Never writes past
// `size` bytes; a dump holding any other number of bytes is kDumpWrongSize.
DumpResult decodeHexDump(const char* text, unsigned char* buf, int size);

}  // namespace vxfs
}  // namespace fsbmp

#endif
