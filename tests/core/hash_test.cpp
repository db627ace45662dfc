// The hashes btrfs seals its metadata with: published vectors, then random buffers against the
// system's own tools.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/testutil.h"
#include "core/blake2b.h"
#include "core/sha256.h"
#include "core/xxhash64.h"

using namespace fsbmp_test;

namespace {

std::string hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", p[i]);
    s += b;
  }
  return s;
}

std::string xxhHex(const std::string& in, uint64_t seed = 0) {
  char b[17];
  std::snprintf(b, sizeof b, "%016llx",
                static_cast<unsigned long long>(fsbmp::xxh64(in.data(), in.size(), seed)));
  return b;
}
std::string shaHex(const std::string& in) {
  uint8_t d[32];
  fsbmp::sha256(in.data(), in.size(), d);
  return hex(d, 32);
}
std::string b2Hex(const std::string& in, size_t outLen) {
  uint8_t d[64];
  fsbmp::blake2b(in.data(), in.size(), d, outLen);
  return hex(d, outLen);
}

}  // namespace

TEST(HashTest, PublishedVectors) {
  const std::string million(1000000, 'a');
  const std::string nist2 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  struct Row {
    const char* what;
    std::string got, want;
  } rows[] = {
      {"xxh64 empty", xxhHex(""), "ef46db3751d8e999"},
      {"xxh64 a", xxhHex("a"), "d24ec4f1a98c6e5b"},
      {"xxh64 abc", xxhHex("abc"), "44bc2cf5ad770999"},
      {"xxh64 39 bytes", xxhHex("Nobody inspects the spammish repetition"), "fbcea83c8a378bf1"},
      {"sha256 empty", shaHex(""),
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"sha256 abc", shaHex("abc"),
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"sha256 448 bits", shaHex(nist2),
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"sha256 million a", shaHex(million),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {"blake2b-512 abc", b2Hex("abc", 64),
       "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
       "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923"},
      {"blake2b-512 empty", b2Hex("", 64),
       "786a02f742015903c6c6fd852552d272912f4740e15847618a86e217f71f5419"
       "d25e1031afee585313896444934eb04b903a685b1448b755d56f701afe9be2ce"},
      {"blake2b-256 empty", b2Hex("", 32),
       "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8"},
      {"blake2b-256 abc", b2Hex("abc", 32),
       "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319"},
  };
  for (const Row& r : rows) EXPECT_EQ(r.got, r.want) << r.what;

  // A seed changes the hash; an out-of-range digest length writes nothing.
  EXPECT_NE(xxhHex("abc", 1), xxhHex("abc", 0));
  uint8_t untouched[65] = {0x5a};
  fsbmp::blake2b("abc", 3, untouched, 65);
  fsbmp::blake2b("abc", 3, untouched, 0);
  EXPECT_EQ(untouched[0], 0x5a);
}

// Lengths around every block and lane boundary (xxh64's 32/8/4, SHA-256's 64 with its 56-byte
// tail, BLAKE2b's 128, a btrfs node), each against the tools.
TEST(HashTest, RandomBuffersMatchTheSystemTools) {
  FSBMP_REQUIRE_TOOL("sha256sum");
  FSBMP_REQUIRE_TOOL("b2sum");
  FSBMP_REQUIRE_TOOL("xxhsum");
  std::mt19937 rng(7);
  const size_t lengths[] = {1,  3,  4,  7,  8,   31,  32,  33,  55,
                            56, 63, 64, 65, 127, 128, 129, 256, 16384};
  for (size_t len : lengths) {
    std::vector<unsigned char> buf(len);
    for (auto& c : buf) c = static_cast<unsigned char>(rng());
    const std::string path = scratchPath("hash.bin");
    writeFile(path, buf);
    const std::string in(buf.begin(), buf.end());
    std::string out;
    ASSERT_EQ(run("sha256sum " + path + " | cut -d' ' -f1", &out), 0);
    EXPECT_EQ(out, shaHex(in) + "\n") << "sha256 of " << len << " bytes";
    ASSERT_EQ(run("b2sum -l 256 " + path + " | cut -d' ' -f1", &out), 0);
    EXPECT_EQ(out, b2Hex(in, 32) + "\n") << "blake2b-256 of " << len << " bytes";
    ASSERT_EQ(run("b2sum " + path + " | cut -d' ' -f1", &out), 0);
    EXPECT_EQ(out, b2Hex(in, 64) + "\n") << "blake2b-512 of " << len << " bytes";
    ASSERT_EQ(run("xxhsum -H64 " + path + " | cut -d' ' -f1", &out), 0);
    EXPECT_EQ(out, xxhHex(in) + "\n") << "xxh64 of " << len << " bytes";
  }
}
