// Error values, CRC-32C, file access and the debug log.
#include "fsbmp/services.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/testutil.h"
#include "core/chunks.h"
#include "core/coding.h"

using namespace fsbmp_test;

TEST(CVoErrorTest, SuccessHasNoPayloadAndFailureCarriesFrames) {
  CVoError ok;
  EXPECT_EQ(ok.code, 0);
  EXPECT_FALSE(ok.payload);
  EXPECT_EQ(ok.toString(), "success");

  CVoError e = JxErrorUtil::ErrorErrNo(JX_LOCATION("unit"), 28, "EOF at %d", 16);
  EXPECT_LT(e.code, 0);
  EXPECT_EQ(e.errNo(), 28);
  e.Push(JX_LOCATION("outer"), "Couldn't read %s", "dev");
  EXPECT_EQ(e.depth(), 2u);
  EXPECT_EQ(e.message(), "Couldn't read dev");
  EXPECT_EQ(e.rootMessage(), "EOF at 16");
  EXPECT_STREQ(e.location(0).file, "outer");
  EXPECT_LT(e.code, 0) << "a pushed error stays failed";
  std::string text = e.toString();
  EXPECT_NE(text.find("Couldn't read dev"), std::string::npos) << text;
  EXPECT_NE(text.find("EOF at 16"), std::string::npos) << text;
  EXPECT_NE(text.find(strerror(28)), std::string::npos) << text;
  EXPECT_NE(text.find("CVoErrorTest"), std::string::npos) << "locations are rendered: " << text;
}

// Frame messages, newest first.
std::vector<std::string> frames(const CVoError& e) {
  std::vector<std::string> out;
  for (size_t i = 0; i < e.depth(); ++i) out.push_back(e.frameMessage(i));
  return out;
}

// A copy, made by construction or assignment, carries the frames and values it was made from; a
// frame pushed onto one copy shows up in no other, whichever is pushed onto first and whether
// the others are still alive.
TEST(CVoErrorTest, CopiesKeepTheFramesTheyWereMadeWithAndTheirOwnPushes) {
  using Frames = std::vector<std::string>;
  for (const bool byErrNo : {true, false}) {
    SCOPED_TRACE(byErrNo ? "ErrorErrNo" : "ErrorInt");
    CVoError a = byErrNo ? JxErrorUtil::ErrorErrNo(JX_LOCATION("unit"), EIO, "first")
                         : JxErrorUtil::ErrorInt(JX_LOCATION("unit"), 7, "first");
    CVoError b = a;
    EXPECT_EQ(b.code, a.code);
    EXPECT_EQ(b.errNo(), byErrNo ? EIO : 0);
    EXPECT_EQ(b.intValue(), byErrNo ? 0 : 7);
    EXPECT_EQ(frames(b), Frames{"first"});

    b.Push(JX_LOCATION("unit"), "on b");
    a.Push(JX_LOCATION("unit"), "on a");
    EXPECT_EQ(frames(a), (Frames{"on a", "first"}));
    EXPECT_EQ(frames(b), (Frames{"on b", "first"}));

    CVoError c;
    c = b;
    CVoError d = c;
    c.Push(JX_LOCATION("unit"), "on c");
    EXPECT_EQ(frames(c), (Frames{"on c", "on b", "first"}));
    EXPECT_EQ(frames(b), (Frames{"on b", "first"}));
    EXPECT_EQ(frames(d), (Frames{"on b", "first"}));

    // The last copy left keeps taking frames after the others are gone.
    b = CVoError();
    d = CVoError();
    EXPECT_EQ(b.toString(), "success");
    a.Push(JX_LOCATION("unit"), "again");
    c.Push(JX_LOCATION("unit"), "again");
    EXPECT_EQ(frames(a), (Frames{"again", "on a", "first"}));
    EXPECT_EQ(frames(c), (Frames{"again", "on c", "on b", "first"}));
    EXPECT_EQ(c.errNo(), byErrNo ? EIO : 0);
    EXPECT_EQ(c.intValue(), byErrNo ? 0 : 7);
    EXPECT_EQ(c.rootMessage(), "first");
  }
}

TEST(CVoErrorTest, LocationsSpellStringParametersTheShortWay) {
  struct Probe {
    CVoError init(const std::string& dev) {
      return JxErrorUtil::ErrorErrNo(JX_LOCATION("x"), 38, "%s", dev.c_str());
    }
  } probe;
  EXPECT_STREQ(probe.init("d").location(0).function,
               "CVoError "
               "CVoErrorTest_LocationsSpellStringParametersTheShortWay_Test::TestBody()::Probe::"
               "init(const string&)");
}

TEST(Crc32cTest, StandardCheckValueWholeAndInPieces) {
  const char* text = "123456789";
  uint32_t crc = 0xFFFFFFFF;
  mb_crc32c(text, 9, &crc);
  EXPECT_EQ(~crc, 0xE3069283u);

  for (size_t split = 0; split <= 9; ++split) {
    uint32_t c = 0xFFFFFFFF;
    mb_crc32c(text, split, &c);
    mb_crc32c(text + split, 9 - split, &c);
    EXPECT_EQ(~c, 0xE3069283u) << "split at " << split;
  }
  // The iSCSI check values (RFC 3720, B.4) over 32 bytes: zeros, ones, 0 to 31.
  const struct {
    int first, step;
    uint32_t expected;
  } vectors[] = {{0, 0, 0x8A9136AAu}, {0xFF, 0, 0x62A8AB43u}, {0, 1, 0x46DD794Eu}};
  for (const auto& v : vectors) {
    unsigned char block[32];
    for (int i = 0; i < 32; ++i) block[i] = static_cast<unsigned char>(v.first + v.step * i);
    uint32_t c = 0xFFFFFFFF;
    mb_crc32c(block, sizeof block, &c);
    EXPECT_EQ(~c, v.expected);
  }
  // Unaligned, odd-length feeds over a longer buffer agree with one feed.
  std::vector<unsigned char> data(1031);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + 3);
  uint32_t whole = 0xFFFFFFFF;
  mb_crc32c(data.data(), data.size(), &whole);
  uint32_t pieces = 0xFFFFFFFF;
  for (size_t at = 0; at < data.size(); at += 13)
    mb_crc32c(data.data() + at, std::min<size_t>(13, data.size() - at), &pieces);
  EXPECT_EQ(whole, pieces);
  // Long feeds (taken as three streams, or folded by carry-less multiplication, where the
  // processor allows) agree with the CRC computed bit by bit, from any register, at lengths
  // around the stream split and the folding's steps of 256, 64 and 16 bytes.
  std::vector<unsigned char> big(100003);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 131 + (i >> 9));
  for (size_t length : {255, 256, 257, 335, 527, 767, 768, 775, 4096, 4099, 100003}) {
    SCOPED_TRACE(length);
    for (uint32_t seed : {0xFFFFFFFFu, 0x12345678u}) {
      uint32_t c = seed;
      mb_crc32c(big.data(), length, &c);
      EXPECT_EQ(c, crc32cBits(seed, big.data(), length));
    }
  }
}

TEST(CVoFileTest, ReadsFullCountAndReportsShortReadAtEnd) {
  std::string path = scratchPath("file.bin");
  std::vector<unsigned char> data(10000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i);
  writeFile(path, data);

  CVoFile f;
  ASSERT_GE(f.Open(path.c_str(), O_RDONLY, 0666).code, 0);
  int64_t end = -1;
  ASSERT_GE(f.Seek(0, SEEK_END, &end).code, 0);
  EXPECT_EQ(end, 10000);
  ASSERT_GE(f.Seek(9000, SEEK_SET, nullptr).code, 0);
  std::vector<unsigned char> buf(4096);
  uint32_t got = 0;
  ASSERT_GE(f.Read(buf.data(), 4096, &got).code, 0);
  EXPECT_EQ(got, 1000u);
  EXPECT_EQ(buf[0], data[9000]);

  CVoFile missing;
  CVoError e = missing.Open(scratchPath("absent").c_str(), O_RDONLY, 0666);
  EXPECT_LT(e.code, 0);
  EXPECT_EQ(e.errNo(), ENOENT);
}

TEST(CVoFileTest, DestructorClosesDescriptor) {
  std::string path = scratchPath("fd.bin");
  writeFile(path, {1, 2, 3});
  int before = countOpenFds();
  {
    CVoFile f;
    ASSERT_GE(f.Open(path.c_str(), O_RDONLY, 0666).code, 0);
    EXPECT_EQ(countOpenFds(), before + 1);
  }
  EXPECT_EQ(countOpenFds(), before);
}

TEST(PdDebugTest, SilentByDefaultAndWritesToInstalledSink) {
  PdDebug d;
  d.Debug("T::f", "dropped %d", 1);  // no sink installed: nothing happens
  DebugCapture cap;
  d.Debug("T::f", "   value=%d", 42);
  d.DebugLvl("T::g", 3, "level line");
  ASSERT_EQ(cap.lines.size(), 2u);
  EXPECT_EQ(cap.lines[0], "T::f:    value=42");
  EXPECT_EQ(cap.lines[1], "T::g: level line");
}

TEST(CodingTest, DecodesByWidthAndOrderWhateverTheHost) {
  const unsigned char b[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  EXPECT_EQ(fsbmp::decodeLE16(b), 0x0201);
  EXPECT_EQ(fsbmp::decodeLE32(b), 0x04030201u);
  EXPECT_EQ(fsbmp::decodeLE64(b), 0x0807060504030201ull);
  EXPECT_EQ(fsbmp::decodeBE16(b), 0x0102);
  EXPECT_EQ(fsbmp::decodeBE32(b), 0x01020304u);
  EXPECT_EQ(fsbmp::decodeBE64(b), 0x0102030405060708ull);
}
