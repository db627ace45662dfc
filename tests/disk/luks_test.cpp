// LUKS1 and LUKS2 containers made by cryptsetup on image files (no device-mapper: a plaintext
// image made by mkfs.ext4 stands in for the decrypted device). Oracles: luksDump for the header's
// offsets and key slots, dumpe2fs for the plaintext's used blocks.
#include "disk/luks.h"

#include <fcntl.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/oracle.h"
#include "common/testutil.h"

using namespace fsbmp_test;

namespace {

const long long kMiB = 1 << 20;
const long long kUnit = 4096;  // the grain the maps are compared at

std::string keyFile() {
  static std::string key;
  if (key.empty()) {
    key = scratchPath("luks.key");
    mustRun("head -c 32 /dev/urandom > " + key);
  }
  return key;
}

// A container of `size` MiB made by luksFormat with `options`.
std::string makeLuks(const std::string& name, const std::string& options, long long size = 32) {
  const std::string img = scratchPath(name + ".img");
  mustRun("rm -f " + img + " && truncate -s " + std::to_string(size) + "M " + img +
          " && cryptsetup luksFormat -q --pbkdf pbkdf2 --pbkdf-force-iterations 1000 --key-file " +
          keyFile() + " " + options + " " + img + " 2>&1");
  return img;
}

// What luksDump says of a container.
struct Dump {
  long long dataOffset = -1;
  long long sectorSize = 512;
  int keyslots = 0;
  std::string uuid, cipher;
};

Dump luksDump(const std::string& img) {
  std::istringstream in(mustRun("cryptsetup luksDump " + img));
  Dump d;
  std::string line, cipherName, cipherMode;
  bool segments = false;
  auto after = [&](const char* key, std::string* out) {
    const size_t at = line.find(key);
    if (at == std::string::npos) return false;
    *out = line.substr(at + strlen(key));
    out->erase(0, out->find_first_not_of(" \t"));
    return true;
  };
  for (std::string v; std::getline(in, line);) {
    if (line.find("Data segments:") == 0) segments = true;
    if (line.find("Keyslots:") == 0) segments = false;
    if (after("UUID:", &v)) d.uuid = v;
    if (after("Payload offset:", &v)) d.dataOffset = std::stoll(v) * 512;
    if (after("Cipher name:", &v)) cipherName = v;
    if (after("Cipher mode:", &v)) d.cipher = cipherName + "-" + v;
    if (line.find(": ENABLED") != std::string::npos || line.find(": luks2") != std::string::npos)
      ++d.keyslots;
    if (segments && after("offset:", &v) && d.dataOffset < 0) d.dataOffset = std::stoll(v);
    if (segments && after("cipher:", &v)) d.cipher = v;
    if (segments && after("sector:", &v)) d.sectorSize = std::stoll(v);
  }
  return d;
}

// A container probed as the disk layer probes a region.
struct Probed {
  CVoFile file;
  int64_t length = 0;
  bool found = false;
  CVoError err, refusal;
  std::unique_ptr<fsbmp::Layer> layer;

  Probed(const std::string& img, const std::vector<std::string>& decrypted) {
    FsDisk::Options options;
    options.decrypted = decrypted;
    EXPECT_GE(file.Open(img.c_str(), O_RDONLY, 0).code, 0);
    auto view = std::make_shared<fsbmp::FileView>(&file);
    view->length(&length);
    fsbmp::LayerContext ctx;
    ctx.options = &options;
    ctx.name = img;
    ctx.refusal = &refusal;
    layer = fsbmp::probeLuks(view, length, ctx, &found, &err);
  }
  std::string property(const std::string& key) const {
    for (const FsParser::Property& p : layer->properties())
      if (p.key == key) return p.value;
    return "(none)";
  }
  // The map in 4 KiB units: true where a marked range touches.
  std::vector<bool> units() {
    std::vector<bool> used(static_cast<size_t>((length + kUnit - 1) / kUnit));
    CVoError e = layer->map(0, kUnit, [&](int64_t from, int64_t n) {
      EXPECT_TRUE(from >= 0 && n > 0 && from + n <= length) << from << "+" << n;
      for (int64_t u = from / kUnit; u < (from + n + kUnit - 1) / kUnit; ++u)
        used[static_cast<size_t>(u)] = true;
    });
    EXPECT_GE(e.code, 0) << e.toString();
    return used;
  }
};

struct LuksCase {
  const char* name;
  const char* options;
};
const LuksCase kCases[] = {
    {"luks1", "--type luks1"},
    {"luks2", "--type luks2"},
    {"luks2_meta", "--type luks2 --luks2-metadata-size 64k --luks2-keyslots-size 2m"},
    {"luks2_512", "--type luks2 --sector-size 512"},
    {"luks2_4k", "--type luks2 --sector-size 4096"},
};

class LuksTest : public ::testing::TestWithParam<LuksCase> {
 protected:
  void SetUp() override { FSBMP_REQUIRE_TOOL("cryptsetup"); }
};

// The header as luksDump reads it; with no decrypted device the whole container counts used.
TEST_P(LuksTest, HeaderAsLuksDumpAndDataUsedWhole) {
  const std::string img = makeLuks(GetParam().name, GetParam().options);
  const Dump d = luksDump(img);
  Probed p(img, {});
  ASSERT_TRUE(p.found);
  ASSERT_TRUE(p.layer) << p.err.toString();
  EXPECT_EQ(p.property("data_offset"), std::to_string(d.dataOffset));
  EXPECT_EQ(p.property("uuid"), d.uuid);
  EXPECT_EQ(p.property("cipher"), d.cipher);
  EXPECT_EQ(p.property("keyslots"), std::to_string(d.keyslots));
  EXPECT_EQ(p.property("data_size"), "dynamic") << "LUKS1 and luksFormat's LUKS2 run to the end";
  if (p.layer->kind() == "LUKS2") {
    EXPECT_EQ(p.property("sector_size"), std::to_string(d.sectorSize));
  }
  EXPECT_EQ(p.property("decrypted"), "none");
  for (bool u : p.units()) ASSERT_TRUE(u);
}

// With a plaintext ext4 standing in for the decrypted device: the header area and the file
// system's used blocks at the data offset, nothing else.
TEST_P(LuksTest, DecryptedDeviceMappedAtDataOffset) {
  FSBMP_REQUIRE_TOOL("mkfs.ext4");
  const std::string img = makeLuks(GetParam().name, GetParam().options);
  const Dump d = luksDump(img);
  const std::string plain = scratchPath(std::string(GetParam().name) + ".plain");
  const long long plainBytes = 32 * kMiB - d.dataOffset;
  mustRun("rm -f " + plain + " && truncate -s " + std::to_string(plainBytes) + " " + plain +
          " && mkdir -p " + plain + ".d && head -c 3000000 /dev/urandom > " + plain +
          ".d/big && mkfs.ext4 -q -F -b 4096 -d " + plain + ".d " + plain);
  std::unique_ptr<OracleImage> oracle = readOracle("ext2", plain);
  ASSERT_EQ(oracle->failure, "");

  Probed wrong(img, {img});  // the container itself: a device of the wrong size
  EXPECT_TRUE(wrong.found);
  EXPECT_FALSE(wrong.layer);
  EXPECT_NE(wrong.refusal.message().find("holds " + std::to_string(32 * kMiB) +
                                         " bytes, but the data segment of"),
            std::string::npos)
      << wrong.refusal.toString();

  Probed p(img, {plain});
  ASSERT_TRUE(p.layer) << p.err.toString();
  EXPECT_EQ(p.property("decrypted"), plain);
  const std::vector<bool> got = p.units();
  const long long first = d.dataOffset / kUnit;
  for (size_t u = 0; u < got.size(); ++u) {
    const bool want = static_cast<long long>(u) < first ||
                      oracle->used[static_cast<size_t>(static_cast<long long>(u) - first)];
    ASSERT_EQ(got[u], want) << "4 KiB unit " << u << " (data offset " << d.dataOffset << ")";
  }
}

INSTANTIATE_TEST_SUITE_P(Containers, LuksTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<LuksCase>& i) {
                           return std::string(i.param.name);
                         });

// sha256sum's digest of a file's bytes.
std::vector<unsigned char> sha256Of(const std::vector<unsigned char>& bytes) {
  const std::string tmp = scratchPath("luks.sum");
  writeFile(tmp, bytes);
  const std::string hex = mustRun("sha256sum " + tmp);
  std::vector<unsigned char> out;
  for (size_t i = 0; i < 64; i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

const long long kHdr = 16384;  // luksFormat's default header size

// Puts `json` (NUL-padded) into the LUKS2 header copy at `at` and seals it again.
void resealWith(const std::string& img, long long at, const std::string& json) {
  std::vector<unsigned char> h = readAt(img, at, kHdr);
  std::fill(h.begin() + 4096, h.end(), 0);
  std::copy(json.begin(), json.begin() + std::min<size_t>(json.size(), kHdr - 4096),
            h.begin() + 4096);
  std::fill(h.begin() + 448, h.begin() + 512, 0);
  const std::vector<unsigned char> sum = sha256Of(h);
  std::copy(sum.begin(), sum.end(), h.begin() + 448);
  patchFile(img, at, h);
}

TEST(LuksHeaders, DamagedCopies) {
  FSBMP_REQUIRE_TOOL("cryptsetup");
  const std::string img = makeLuks("damaged", "--type luks2");
  const std::string offset = std::to_string(luksDump(img).dataOffset);
  patchFile(img, kHdr - 1, {0x55});  // the primary's JSON padding: its checksum fails
  {
    Probed p(img, {});
    ASSERT_TRUE(p.layer) << p.err.toString();
    EXPECT_EQ(p.property("data_offset"), offset) << "read from the secondary copy";
  }
  patchFile(img, 2 * kHdr - 1, {0x55});
  Probed p(img, {});
  EXPECT_TRUE(p.found);
  EXPECT_FALSE(p.layer);
  EXPECT_NE(p.err.message().find("checksum"), std::string::npos) << p.err.toString();
}

// Metadata that parses badly or lacks what the map needs: found, refused with a reason.
TEST(LuksHeaders, HostileJson) {
  FSBMP_REQUIRE_TOOL("cryptsetup");
  FSBMP_REQUIRE_TOOL("sha256sum");
  const std::string img = makeLuks("hostile", "--type luks2");
  const std::string good(reinterpret_cast<const char*>(readAt(img, 4096, kHdr - 4096).data()));
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    const size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
  };
  const struct {
    std::string json;
    const char* why;
  } cases[] = {
      {std::string(6000, '[') + std::string(6000, ']'), "nested too deep"},
      {std::string(kHdr - 4096, '{'), "not terminated"},
      {"{\"keyslots\":{}}", "json_size"},
      {replaced("\"segments\":{\"0\":", "\"segments\":{\"1\":{\"type\":\"crypt\"},\"0\":"),
       "2 data segments"},
      {replaced("\"config\":{",
                "\"config\":{\"requirements\":{\"mandatory\":[\"online-reencrypt-v2\"]},"),
       "reencryption"},
      {replaced("\"offset\":\"16777216\"", "\"offset\":\"99999999999\""), "outside the region"},
      {replaced("\"sector_size\":4096", "\"sector_size\":\"x\""), "sector_size"},
  };
  for (const auto& c : cases) {
    resealWith(img, 0, c.json);
    resealWith(img, kHdr, c.json);
    Probed p(img, {});
    EXPECT_TRUE(p.found) << c.why;
    EXPECT_FALSE(p.layer) << c.why;
    EXPECT_NE(p.err.message().find(c.why), std::string::npos) << p.err.toString();
  }
}

}  // namespace
