// The readers of fsdb's text: tokens, named fields, numbers and the hexadecimal block dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vxfs/fsbmpVxFSText.h"

using namespace fsbmp::vxfs;

namespace {

// A dump of `data` as fsdb prints it: offset, colon, 16 pairs a line.
std::string dumpOf(const std::vector<unsigned char>& data, bool group2 = false,
                   bool upper = false) {
  std::string out;
  char text[32];
  for (size_t at = 0; at < data.size(); at += 16) {
    snprintf(text, sizeof text, "%07zx:", at);
    out += text;
    for (size_t i = 0; i < 16; ++i) {
      if (!group2 || i % 2 == 0) out += (i == 8 && !group2) ? "\t " : " ";
      snprintf(text, sizeof text, upper ? "%02X" : "%02x", data[at + i]);
      out += text;
    }
    out += "\r\n";
  }
  return out;
}

std::vector<unsigned char> pattern(size_t n) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 37 + 11);
  return v;
}

}  // namespace

TEST(VxfsText, GetTokenSkipsWhitespaceAndStopsOnIt) {
  const char* text = " \t\r\nbsize\v1024\fsize\n";
  const char* p = text;
  EXPECT_EQ(getToken(p), "bsize");
  EXPECT_EQ(*p, '\v');  // left on the separator, not past it
  EXPECT_EQ(getToken(p), "1024");
  EXPECT_EQ(getToken(p), "size");
  EXPECT_EQ(getToken(p), "");
  EXPECT_EQ(*p, '\0');

  const char* blank = "  \n \r\n ";
  p = blank;
  EXPECT_EQ(getToken(p), "");
  EXPECT_EQ(p, blank + strlen(blank));
}

TEST(VxfsText, FindTokenMatchesWholeTokensOnly) {
  const char* sb = "magic a501fcf5 version 7\r\nbsize 1024 size 2048 dsize 4096\r\n";
  EXPECT_EQ(findToken(sb, "size"), "2048");
  EXPECT_EQ(findToken(sb, "bsize"), "1024");
  EXPECT_EQ(findToken(sb, "version"), "7");
  EXPECT_EQ(findToken(sb, "ize"), "");
  EXPECT_EQ(findToken(sb, "Size"), "");
  EXPECT_EQ(findToken(sb, "aublocks"), "");
  // The value may stand on the next line; the first match wins; a trailing name has no value.
  EXPECT_EQ(findToken("type\n  IFEAU type IFEMP", "type"), "IFEAU");
  EXPECT_EQ(findToken("ex_st 12 offset", "offset"), "");
  EXPECT_EQ(findToken("", "magic"), "");
}

TEST(VxfsText, Numbers) {
  EXPECT_EQ(leadingDigits("1048576abc"), 1048576);
  EXPECT_EQ(leadingDigits("x12"), 0);
  EXPECT_EQ(leadingDigits("-5"), 0);
  EXPECT_EQ(leadingDigits(""), 0);
  EXPECT_EQ(leadingDigits("99999999999999999999999"), LLONG_MAX);
  EXPECT_EQ(toInt("1024"), 1024);
  EXPECT_EQ(toInt("-8"), -8);
  EXPECT_EQ(toInt("4k"), 4);
  EXPECT_EQ(toInt("abc"), 0);
  EXPECT_EQ(toInt("99999999999999"), INT_MAX);
  EXPECT_EQ(toInt("-99999999999999"), INT_MIN);
}

TEST(VxfsText, DumpDecodesEveryGroupingAndCase) {
  const std::vector<unsigned char> data = pattern(512);
  for (bool group2 : {false, true}) {
    for (bool upper : {false, true}) {
      std::vector<unsigned char> got(512, 0);
      EXPECT_EQ(decodeHexDump(dumpOf(data, group2, upper).c_str(), got.data(), 512), kDumpOk)
          << group2 << upper;
      EXPECT_EQ(got, data) << group2 << upper;
    }
  }
  // Pairs glued together, and text after the sixteenth pair up to the next colon, are fine.
  std::string glued;
  for (int line = 0; line < 2; ++line) {
    glued += "x:";
    for (int i = 0; i < 16; ++i) glued += "a5";
    glued += "  |ascii|\n";
  }
  std::vector<unsigned char> got(32);
  EXPECT_EQ(decodeHexDump(glued.c_str(), got.data(), 32), kDumpOk);
  EXPECT_EQ(got, std::vector<unsigned char>(32, 0xa5));
}

TEST(VxfsText, DumpFaults) {
  const std::vector<unsigned char> data = pattern(64);
  const std::string good = dumpOf(data);
  // Guard bytes after the buffer show that nothing is written past its end.
  std::vector<unsigned char> buf(64 + 16, 0xEE);
  auto decode = [&](const std::string& text, int size) {
    return decodeHexDump(text.c_str(), buf.data(), size);
  };
  EXPECT_EQ(decode("no colon at all 00 11 22", 64), kDumpWrongSize);
  EXPECT_EQ(decode("", 64), kDumpWrongSize);
  EXPECT_EQ(decode(good.substr(0, good.rfind('\n', good.size() - 2) + 1), 64), kDumpWrongSize);
  EXPECT_EQ(decode(good + good, 64), kDumpWrongSize);  // two blocks' worth: too many
  for (int i = 64; i < 80; ++i) EXPECT_EQ(buf[i], 0xEE) << i;
  std::fill(buf.begin(), buf.end(), 0xEE);
  EXPECT_EQ(decode(good, 48), kDumpWrongSize);
  for (int i = 48; i < 80; ++i) EXPECT_EQ(buf[i], 0xEE) << i;

  std::string bad = good;
  bad[bad.find(':') + 3] = 'g';  // second digit of the first pair
  EXPECT_EQ(decode(bad, 64), kDumpCorrupt);
  EXPECT_EQ(decode("0000000:", 64), kDumpCorrupt);          // ends right after a colon
  EXPECT_EQ(decode("0000000: 00 11 2", 64), kDumpCorrupt);  // ends inside a pair
  EXPECT_EQ(decode("0000000: 0 011", 64), kDumpCorrupt);    // digits of a pair apart
  // A line one pair short borrows from the next line and fails where that holds a colon.
  std::string shortLine = "0:";
  for (int i = 0; i < 15; ++i) shortLine += " 00";
  shortLine += "\n1:";
  for (int i = 0; i < 16; ++i) shortLine += " 00";
  EXPECT_EQ(decode(shortLine, 32), kDumpCorrupt);
}
