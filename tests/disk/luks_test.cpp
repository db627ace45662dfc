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

// A plaintext ext4 of `bytes` holding a file.
std::string makePlain(const std::string& name, long long bytes) {
  const std::string plain = scratchPath(name);
  mustRun("rm -rf " + plain + " " + plain + ".d && mkdir " + plain + ".d && head -c 3000000 " +
          "/dev/urandom > " + plain + ".d/big && truncate -s " + std::to_string(bytes) + " " +
          plain + " && mkfs.ext4 -q -F -b 4096 -d " + plain + ".d " + plain);
  return plain;
}

struct LuksCase {
  const char* name;
  const char* options;
};
void PrintTo(const LuksCase& c, std::ostream* os) {
  *os << c.name;
}
const LuksCase kCases[] = {
    {"luks1", "--type luks1"},
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

  // A decrypted device of the right size holding nothing recognised: used whole, saying why.
  const std::string blank = img + ".blank";
  mustRun("rm -f " + blank + " && truncate -s " + std::to_string(32 * kMiB - d.dataOffset) + " " +
          blank);
  Probed b(img, {blank});
  ASSERT_TRUE(b.layer) << b.err.toString();
  EXPECT_EQ(b.property("decrypted"), blank);
  EXPECT_EQ(b.property("content").rfind("counted used: ", 0), 0u) << b.property("content");
  for (bool u : b.units()) ASSERT_TRUE(u);
}

// With a plaintext ext4 standing in for the decrypted device: the header area and the file
// system's used blocks at the data offset, nothing else.
TEST_P(LuksTest, DecryptedDeviceMappedAtDataOffset) {
  FSBMP_REQUIRE_TOOL("mkfs.ext4");
  const std::string img = makeLuks(GetParam().name, GetParam().options);
  const Dump d = luksDump(img);
  const std::string plain =
      makePlain(std::string(GetParam().name) + ".plain", 32 * kMiB - d.dataOffset);
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

// Used 4 KiB units of `bytes` from the tool's ranges ("start length" lines).
std::vector<bool> toolUnits(const std::string& args, long long bytes) {
  std::vector<bool> used(static_cast<size_t>(bytes / kUnit));
  std::istringstream in(mustRunTool("bitmap " + args + " -c 4096 -f ranges"));
  for (long long from, n; in >> from >> n;)
    for (long long u = from / kUnit; u < (from + n) / kUnit && u < bytes / kUnit; ++u)
      used[static_cast<size_t>(u)] = true;
  return used;
}

// A container in partition 2 of a GPT disk, through the tool: the partition maps as its header
// and the plaintext's used blocks; a copy of only those chunks keeps the header (luksDump reads
// it) and, laid onto a blank plaintext, the file system (e2fsck, the file's bytes). A second
// container, in partition 1, has no decrypted device named: it counts used whole.
TEST(LuksDisk, GptPartitionThroughTheTool) {
  FSBMP_REQUIRE_TOOL("cryptsetup");
  const long long start = 9 * kMiB, size = 40 * kMiB;
  const std::string luks = makeLuks("part", "--type luks2", size / kMiB);
  const std::string other = makeLuks("part1", "--type luks1", 8);
  const long long offset = luksDump(luks).dataOffset;
  const std::string disk = scratchPath("luks-disk.img"),
                    plain = makePlain("part.plain", size - offset);
  mustRun(
      "rm -f " + disk + " && truncate -s 64M " + disk +
      " && printf 'label: gpt\\nstart=2048,size=16384\\nstart=18432,size=81920\\n' | sfdisk -q " +
      disk + " && dd if=" + luks + " of=" + disk + " bs=1M seek=9 conv=notrunc status=none" +
      " && dd if=" + other + " of=" + disk + " bs=1M seek=1 conv=notrunc status=none");
  std::unique_ptr<OracleImage> oracle = readOracle("ext2", plain);
  ASSERT_EQ(oracle->failure, "");

  EXPECT_NE(mustRunTool("info " + disk + " --decrypted " + plain).find("content ext2/3/4"),
            std::string::npos);
  const std::vector<bool> got = toolUnits(disk + " --decrypted " + plain, 64 * kMiB);
  for (long long u = kMiB / kUnit; u < start / kUnit; ++u)
    ASSERT_TRUE(got[static_cast<size_t>(u)]) << "4 KiB unit " << u << " of partition 1";
  for (long long u = start / kUnit; u < (start + size) / kUnit; ++u) {
    const long long inData = u - (start + offset) / kUnit;
    ASSERT_EQ(got[static_cast<size_t>(u)], inData < 0 || oracle->used[static_cast<size_t>(inData)])
        << "4 KiB unit " << u;
  }

  const std::string copy = scratchPath("luks-copy.img"), part = copy + ".part";
  mustRun("rm -f " + copy);
  mustRunTool("copy " + disk + " " + copy + " -c 4096 -q --decrypted " + plain);
  mustRun("dd if=" + copy + " of=" + part + " bs=1M skip=9 count=40 status=none");
  EXPECT_EQ(mustRun("cryptsetup luksDump " + part), mustRun("cryptsetup luksDump " + luks));
  const std::string plainCopy = scratchPath("luks-plain-copy");
  mustRun("rm -f " + plainCopy + " && truncate -s " + std::to_string(size - offset) + " " +
          plainCopy);
  for (long long u = (start + offset) / kUnit; u < (start + size) / kUnit; ++u)
    if (got[static_cast<size_t>(u)]) {
      const uint64_t at = static_cast<uint64_t>(u * kUnit - start - offset);
      patchFile(plainCopy, at, readAt(plain, at, kUnit));
    }
  EXPECT_EQ(run("e2fsck -fn " + plainCopy + " >/dev/null 2>&1"), 0);
  EXPECT_EQ(mustRun("debugfs -R 'cat /big' " + plainCopy + " 2>/dev/null | md5sum"),
            mustRun("md5sum < " + plain + ".d/big"));

  // A decrypted device one block too long decrypts something else: the disk is refused.
  mustRun("truncate -s +4096 " + plain);
  std::string out;
  EXPECT_NE(runTool("info " + disk + " --decrypted " + plain, &out, true), 0);
  EXPECT_NE(out.find("holds " + std::to_string(size - offset + 4096) +
                     " bytes, but no LUKS container on"),
            std::string::npos)
      << out;
}

// An LVM PV inside a LUKS1 container on a whole device: the volume's ext4 maps at the data
// offset plus the PV's extent offset; the PV's free extents stay free.
TEST(LuksDisk, LvmInsideLuks) {
  FSBMP_REQUIRE_TOOL("cryptsetup");
  FSBMP_REQUIRE_TOOL("pvcreate");
  const long long size = 48 * kMiB;
  const std::string luks = makeLuks("lvm", "--type luks1", size / kMiB);
  const long long offset = luksDump(luks).dataOffset;
  const std::string plain = scratchPath("lvm.plain"), fs = makePlain("lvm.fs", 12 * kMiB);
  mustRun("rm -f " + plain + " && truncate -s " + std::to_string(size - offset) + " " + plain);
  long long peStart = 0, peCount = 0, extent = 0;
  {
    LoopDevice loop(plain);
    if (loop.device.empty()) GTEST_SKIP() << loop.why;
    const std::string lvm = "LVM_SUPPRESS_FD_WARNINGS=1 ";
    mustRun(lvm + "pvcreate -q " + loop.device + " 2>&1 && " + lvm +
            "vgcreate -q -s 4M fsbmpluksvg " + loop.device + " 2>&1 && " + lvm +
            "lvcreate -q --driverloaded n -an -Zn -L 12M -n v fsbmpluksvg 2>&1");
    std::istringstream pv(mustRun(lvm + "pvs --noheadings --units b --nosuffix -o pe_start," +
                                  "pv_pe_count " + loop.device + " 2>/dev/null"));
    pv >> peStart >> peCount;
    const std::string seg =
        mustRun(lvm + "lvs --noheadings --segments -o seg_pe_ranges fsbmpluksvg/v 2>/dev/null");
    extent = std::stoll(seg.substr(seg.rfind(':') + 1));
    run(lvm + "vgchange -q -an fsbmpluksvg", nullptr, true);
  }
  const long long lvAt = peStart + extent * 4 * kMiB;
  mustRun("dd if=" + fs + " of=" + plain +
          " bs=1M conv=notrunc status=none seek=" + std::to_string(lvAt / kMiB));
  std::unique_ptr<OracleImage> oracle = readOracle("ext2", fs);
  ASSERT_EQ(oracle->failure, "");

  EXPECT_NE(mustRunTool("info " + luks + " --decrypted " + plain).find("LVM"), std::string::npos);
  const std::vector<bool> got = toolUnits(luks + " --decrypted " + plain, size);
  for (long long u = 0; u < size / kUnit; ++u) {
    const long long inLv = u - (offset + lvAt) / kUnit;
    // The LUKS header, the PV's label and metadata, and what lies past its last extent.
    bool want = u < (offset + peStart) / kUnit || u >= (offset + peStart) / kUnit + peCount * 1024;
    if (inLv >= 0 && inLv < 12 * kMiB / kUnit) want = oracle->used[static_cast<size_t>(inLv)];
    ASSERT_EQ(got[static_cast<size_t>(u)], want) << "4 KiB unit " << u;
  }
}

// A LUKS2 container in a logical volume of a PV on the whole device: the volume's extents map
// as the container's header and the plaintext's used blocks.
TEST(LuksDisk, LuksInsideALogicalVolume) {
  FSBMP_REQUIRE_TOOL("cryptsetup");
  FSBMP_REQUIRE_TOOL("pvcreate");
  const long long size = 48 * kMiB, lvSize = 24 * kMiB;
  const std::string disk = scratchPath("lv-luks.img");
  mustRun("rm -f " + disk + " && truncate -s " + std::to_string(size) + " " + disk);
  long long peStart = 0, extent = 0;
  {
    LoopDevice loop(disk);
    if (loop.device.empty()) GTEST_SKIP() << loop.why;
    const std::string lvm = "LVM_SUPPRESS_FD_WARNINGS=1 ";
    mustRun(lvm + "pvcreate -q " + loop.device + " 2>&1 && " + lvm +
            "vgcreate -q -s 4M fsbmplvluks " + loop.device + " 2>&1 && " + lvm +
            "lvcreate -q --driverloaded n -an -Zn -L 24M -n c fsbmplvluks 2>&1");
    peStart = std::stoll(mustRun(lvm + "pvs --noheadings --units b --nosuffix -o pe_start " +
                                 loop.device + " 2>/dev/null"));
    const std::string seg =
        mustRun(lvm + "lvs --noheadings --segments -o seg_pe_ranges fsbmplvluks/c 2>/dev/null");
    extent = std::stoll(seg.substr(seg.rfind(':') + 1));
    run(lvm + "vgchange -q -an fsbmplvluks", nullptr, true);
  }
  const std::string luks = makeLuks("in-lv", "--type luks2", lvSize / kMiB);
  const long long offset = luksDump(luks).dataOffset, lvAt = peStart + extent * 4 * kMiB;
  mustRun("dd if=" + luks + " of=" + disk +
          " bs=1M conv=notrunc status=none seek=" + std::to_string(lvAt / kMiB));
  const std::string plain = makePlain("in-lv.plain", lvSize - offset);
  std::unique_ptr<OracleImage> oracle = readOracle("ext2", plain);
  ASSERT_EQ(oracle->failure, "");

  EXPECT_NE(mustRunTool("info " + disk + " --decrypted " + plain).find("LV fsbmplvluks/c"),
            std::string::npos);
  const std::vector<bool> got = toolUnits(disk + " --decrypted " + plain, size);
  for (long long u = lvAt / kUnit; u < (lvAt + lvSize) / kUnit; ++u) {
    const long long inData = u - (lvAt + offset) / kUnit;
    ASSERT_EQ(got[static_cast<size_t>(u)], inData < 0 || oracle->used[static_cast<size_t>(inData)])
        << "4 KiB unit " << u;
  }
}
