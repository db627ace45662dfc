// LVM2 physical volumes on a GPT disk, made by the real tools on a loop device's partitions (no
// device-mapper here: the volumes exist in the metadata only, and file systems made alone in files
// are written through their extents). Oracles: lvs and pvs for where the extents lie, the parsers'
// own bitmaps of each file system made alone.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/testutil.h"
#include "fsbmp/fsbmpDisk.h"

using namespace fsbmp_test;

namespace {

const char kLvm[] = "LVM_SUPPRESS_FD_WARNINGS=1 ";

// LVM's CRC-32 (reflected 0x04C11DB7, seeded 0xf597a6cf, no final inversion), bit by bit: the
// tests' own, for resealing metadata that a test edits.
uint32_t lvmCrc(const unsigned char* p, size_t n) {
  uint32_t crc = 0xf597a6cfu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) ? 0xEDB88320u : 0u);
  }
  return crc;
}
const long long kMiB = 1 << 20;

// Where lvs puts a segment: the volume's first extent, the PV's node and its first extent there.
struct LvRun {
  long long lvExtent;
  std::string pv;
  long long pvExtent;
  long long count;
};

const long long kStripe = 64 * 1024;

// Where byte `o` of a volume striped in 64 KiB pieces over `stripes` (lvs's ranges, in stripe
// order) lies: the PV's node and the byte there, the PV's extents starting at `peStart`.
std::pair<std::string, long long> stripedAt(const std::vector<LvRun>& stripes, long long peStart,
                                            long long o) {
  const long long piece = o / kStripe, n = static_cast<long long>(stripes.size());
  const LvRun& r = stripes[static_cast<size_t>(piece % n)];
  return {r.pv, peStart + r.pvExtent * 4 * kMiB + (piece / n) * kStripe + o % kStripe};
}

// A GPT disk of three partitions: 1 unused, 2 and 3 PVs of one VG. Volume x (XFS, two segments)
// and y (ext4) lie on partition 2; z (ext4) is striped over both PVs.
class LvmDisk : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!haveCommand("pvcreate") || !haveCommand("losetup") || !haveCommand("partx")) {
      skip_ = "needs lvm2, losetup and partx";
      return;
    }
    img_ = scratchPath("lvm.img");
    mustRun("rm -f " + img_ + " && truncate -s 200M " + img_);
    mustRun("printf 'label: gpt\\n,8M,L\\n,120M,V\\n,,V\\n' | sfdisk -q " + img_);
    std::string out;
    if (run("losetup -f --show -P " + img_, &out, true) != 0) {
      skip_ = "no loop device: " + out;
      return;
    }
    loop_ = out.substr(0, out.find('\n'));
    run("partx -a " + loop_, nullptr, true);
    const std::string p2 = loop_ + "p2", p3 = loop_ + "p3";
    if (run(std::string(kLvm) + "pvcreate -q " + p2 + " " + p3, &out, true) != 0) {
      skip_ = "pvcreate failed: " + out;
      return;
    }
    const std::string lv = std::string(kLvm) + "lvcreate -q --driverloaded n -an -Zn ";
    mustRun(std::string(kLvm) + "vgcreate -q -s 4M fsbmpvg " + p2 + " " + p3 + " 2>&1");
    mustRun(lv + "-L 40M -n x fsbmpvg " + p2 + " 2>&1");
    mustRun(lv + "-L 32M -n y fsbmpvg " + p2 + " 2>&1");
    mustRun(std::string(kLvm) + "lvextend -q --driverloaded n -L +24M fsbmpvg/x " + p2 + " 2>&1");
    mustRun(lv + "-i2 -I64k -L 16M -n z fsbmpvg 2>&1");
    std::istringstream segs(
        mustRun(std::string(kLvm) +
                "lvs --noheadings --segments -o lv_name,seg_start_pe,seg_pe_ranges "
                "fsbmpvg 2>/dev/null"));
    std::string line;
    while (std::getline(segs, line)) {
      // "x 0 /dev/loop0p2:0-9"; striped: "/dev/loop0p2:18-19 /dev/loop0p3:0-1" (or with commas)
      for (char& ch : line) ch = ch == ',' ? ' ' : ch;
      std::istringstream fields(line);
      std::string name, one;
      long long start;
      if (!(fields >> name >> start)) continue;
      while (fields >> one) {
        const size_t colon = one.rfind(':'), dash = one.rfind('-');
        const long long a = std::stoll(one.substr(colon + 1, dash - colon - 1));
        const long long b = std::stoll(one.substr(dash + 1));
        runs_[name].push_back({start, one.substr(0, colon), a, b - a + 1});
      }
    }
    peStart_ = std::stoll(mustRun(std::string(kLvm) +
                                  "pvs --noheadings --units b --nosuffix -o "
                                  "pe_start " +
                                  p2 + " 2>/dev/null"));
    // The file systems made alone, written through their extents.
    fsX_ = scratchPath("lvm-x.fs");
    fsY_ = scratchPath("lvm-y.fs");
    mustRun("rm -f " + fsX_ + " " + fsY_ + " && truncate -s 64M " + fsX_ + " && truncate -s 32M " +
            fsY_);
    mustRun("TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 mkfs.xfs -q -f " + fsX_);
    mustRun("mkfs.ext4 -q -F " + fsY_);
    fsZ_ = scratchPath("lvm-z.fs");
    mustRun("rm -f " + fsZ_ + " && truncate -s 16M " + fsZ_ + " && mkfs.ext4 -q -F -b 4096 " +
            fsZ_);
    // Free space full of deleted data, so that a copy which keeps free space shows; one file kept.
    const std::string mnt = scratchPath("lvm-mnt");
    mustRun("mkdir -p " + mnt);
    for (const std::string& file : {fsX_, fsY_}) {
      if (run("mount -o loop " + file + " " + mnt, nullptr, true) != 0) continue;
      run("dd if=/dev/urandom of=" + mnt + "/junk bs=1M count=20 status=none && sync -f " + mnt +
              " && rm " + mnt + "/junk && dd if=/dev/urandom of=" + mnt +
              "/keep bs=64k count=9 status=none",
          nullptr, true);
      run("umount " + mnt, nullptr, true);
      filled_ = true;
    }
    for (const auto& [lvName, file] :
         {std::pair<std::string, std::string>{"x", fsX_}, {"y", fsY_}}) {
      for (const LvRun& r : runs_[lvName]) {
        mustRun("dd if=" + file + " of=" + r.pv +
                " bs=1M conv=notrunc status=none skip=" + std::to_string(r.lvExtent * 4) +
                " seek=" + std::to_string(peStart_ / kMiB + r.pvExtent * 4) +
                " count=" + std::to_string(r.count * 4) + " 2>&1");
      }
    }
    const std::vector<unsigned char> z = readFile(fsZ_);
    for (long long o = 0; o < static_cast<long long>(z.size()); o += kStripe) {
      const auto [pv, at] = stripedAt(runs_["z"], peStart_, o);
      patchFile(pv, static_cast<uint64_t>(at),
                std::vector<unsigned char>(z.begin() + o, z.begin() + o + kStripe));
    }
    // Only these files: a sync of every file system would also write back the maps of another
    // test's mounted image before it takes its crash-consistent snapshot.
    std::string written = fsX_ + " " + fsY_ + " " + fsZ_;
    for (const auto& volume : runs_)
      for (const LvRun& r : volume.second) written += " " + r.pv;
    mustRun("sync " + written);
  }

  static void TearDownTestSuite() {
    if (loop_.empty()) return;
    run(std::string(kLvm) + "vgremove -f fsbmpvg", nullptr, true);
    run(std::string(kLvm) + "pvremove -q " + loop_ + "p2 " + loop_ + "p3", nullptr, true);
    run("partx -d " + loop_, nullptr, true);
    run("losetup -d " + loop_, nullptr, true);
    loop_.clear();
  }

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
  }

  static std::string skip_, img_, loop_, fsX_, fsY_, fsZ_;
  static std::map<std::string, std::vector<LvRun>> runs_;
  static long long peStart_;
  static bool filled_;  // the file systems could be mounted and filled
};

std::string LvmDisk::skip_, LvmDisk::img_, LvmDisk::loop_, LvmDisk::fsX_, LvmDisk::fsY_,
    LvmDisk::fsZ_;
std::map<std::string, std::vector<LvRun>> LvmDisk::runs_;
long long LvmDisk::peStart_ = 0;
bool LvmDisk::filled_ = false;

TEST_F(LvmDisk, VolumesMappedThroughTheirExtents) {
  ASSERT_FALSE(runs_["x"].empty());
  CVoError err;
  std::unique_ptr<FsDisk> disk(FsDisk::open(img_, &err));
  ASSERT_TRUE(disk) << err.toString();
  const std::vector<FsPartition>& parts = disk->partitions();
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0].content, FsPartition::kUnknown);
  std::map<std::string, const FsLogicalVolume*> lvs;
  for (int i : {1, 2}) {
    ASSERT_EQ(parts[i].content, FsPartition::kLvmPv) << parts[i].why;
    EXPECT_EQ(parts[i].vg, "fsbmpvg");
    EXPECT_EQ(parts[i].extentSize, 4 * kMiB);
    EXPECT_EQ(parts[i].peStart, peStart_);
    ASSERT_EQ(parts[i].volumes.size(), 3u);
  }
  for (const FsLogicalVolume& lv : parts[1].volumes) lvs[lv.name] = &lv;
  ASSERT_EQ(lvs.count("x") + lvs.count("y") + lvs.count("z"), 3u);
  EXPECT_EQ(lvs["x"]->segments.size(), 2u);
  EXPECT_TRUE(lvs["x"]->mapped) << lvs["x"]->why;
  EXPECT_EQ(lvs["x"]->fsType, FsParser::kXFS);
  EXPECT_TRUE(lvs["y"]->mapped) << lvs["y"]->why;
  EXPECT_EQ(lvs["y"]->fsType, FsParser::kExt2);
  // z needs both PVs, both on this disk: read through them, from each.
  for (const FsLogicalVolume& lv : parts[2].volumes) {
    if (lv.name == "z") {
      EXPECT_TRUE(lv.mapped) << lv.why;
    }
  }
  EXPECT_TRUE(lvs["z"]->mapped) << lvs["z"]->why;
  EXPECT_EQ(lvs["z"]->fsType, FsParser::kExt2);
  EXPECT_EQ(lvs["z"]->segments.at(0).stripeSize, 64 * 1024);

  // Each file system alone, at 4 KiB.
  std::map<std::string, ChunkBitmap> alone;
  for (const auto& [name, file] :
       {std::pair<std::string, std::string>{"x", fsX_}, {"y", fsY_}, {"z", fsZ_}}) {
    std::unique_ptr<FsParser> p(FsParser::init(file, &err));
    ASSERT_TRUE(p) << err.toString();
    ASSERT_GE(getBitmap(p.get(), 4096, &alone[name]).code, 0);
  }
  std::map<std::string, long long> pvStart{{loop_ + "p2", parts[1].start},
                                           {loop_ + "p3", parts[2].start}};
  for (int chunk : {4096, 1 << 20}) {
    SCOPED_TRACE(chunk);
    ChunkBitmap got;
    ASSERT_GE(getBitmap(disk.get(), chunk, &got).code, 0);
    const long long n = got.nChunks;
    std::vector<bool> want(static_cast<size_t>(n), true);
    auto set = [&](long long from, long long to, bool v) {
      const long long first = v ? from / chunk : (from + chunk - 1) / chunk;
      const long long last = v ? (to + chunk - 1) / chunk : to / chunk;
      for (long long k = first; k < last && k < n; ++k) want[static_cast<size_t>(k)] = v;
    };
    for (int i : {1, 2}) {
      const long long s = parts[i].start + parts[i].peStart;
      set(s, s + parts[i].peCount * parts[i].extentSize, false);
    }
    for (const auto& [name, runs] : runs_) {
      for (const LvRun& r : runs) {
        const long long at = pvStart[r.pv] + peStart_ + r.pvExtent * 4 * kMiB;
        if (name == "z") continue;
        const ChunkBitmap& fs = alone[name];
        for (long long b = 0; b < r.count * 1024; ++b) {
          const long long fsBlock = r.lvExtent * 1024 + b;
          if (fsBlock < fs.nChunks && fs.test(fsBlock))
            set(at + b * 4096, at + (b + 1) * 4096, true);
        }
      }
    }
    for (long long b = 0; b < alone["z"].nChunks; ++b) {
      if (!alone["z"].test(b)) continue;
      const auto [pv, at] = stripedAt(runs_["z"], peStart_, b * 4096);
      set(pvStart[pv] + at, pvStart[pv] + at + 4096, true);
    }
    EXPECT_TRUE(sameChunks(got, want, n));
    EXPECT_LT(usedChunks(got), n / 2) << "free extents and free space of the volumes are not free";
  }
}

// The VG's second PV on another disk (its partition deleted from a copy): z is out of reach and
// counts used over its extents here, saying why; x and y are still read.
TEST_F(LvmDisk, VolumeOnAnotherDiskCountsUsedHere) {
  const std::string copy = scratchPath("lvm-one-pv.img");
  copyFile(img_, copy);
  mustRun("sfdisk -q --delete " + copy + " 3");
  CVoError err;
  std::unique_ptr<FsDisk> disk(FsDisk::open(copy, &err));
  ASSERT_TRUE(disk) << err.toString();
  ASSERT_EQ(disk->partitions().size(), 2u);
  const FsPartition& p2 = disk->partitions()[1];
  ASSERT_EQ(p2.content, FsPartition::kLvmPv) << p2.why;
  for (const FsLogicalVolume& lv : p2.volumes) {
    SCOPED_TRACE(lv.name);
    EXPECT_EQ(lv.mapped, lv.name != "z");
    if (lv.name == "z") {
      EXPECT_NE(lv.why.find("another PV"), std::string::npos) << lv.why;
    }
  }
  ChunkBitmap got;
  ASSERT_GE(getBitmap(disk.get(), 4096, &got).code, 0);
  for (const LvRun& r : runs_["z"]) {
    if (r.pv != loop_ + "p2") continue;
    const long long at = p2.start + peStart_ + r.pvExtent * 4 * kMiB;
    EXPECT_TRUE(allUsed(got, at / 4096, (at + r.count * 4 * kMiB) / 4096));
  }
  std::remove(copy.c_str());
}

// Damage in a copy of the image: each is read as a PV that counts used whole, never a crash.
TEST_F(LvmDisk, DamagedPhysicalVolumeCountsUsedWhole) {
  CVoError err;
  std::unique_ptr<FsDisk> disk(FsDisk::open(img_, &err));
  ASSERT_TRUE(disk) << err.toString();
  const FsPartition p2 = disk->partitions().at(1);
  const long long mda = p2.start + 4096;  // the first metadata area, as pvcreate places it
  const std::vector<unsigned char> header = readAt(img_, static_cast<uint64_t>(mda), 512);
  const long long text = mda + static_cast<long long>(getLE32(header, 40));
  const size_t textSize = getLE32(header, 48);
  const std::vector<unsigned char> original = readAt(img_, static_cast<uint64_t>(text), textSize);
  const std::string body(original.begin(), original.end());
  struct Damage {
    const char* name;
    long long at;      // a byte flipped there, or
    std::string find;  // the text's first `find` overwritten by `put`, its checksums resealed
    std::string put;
    const char* why;
  };
  for (const Damage& d : {Damage{"label", p2.start + 512 + 40, "", "", "label's checksum"},
                          Damage{"area header", mda + 100, "", "", "header's checksum"},
                          Damage{"text", text + 10, "", "", "text's checksum"},
                          Damage{"syntax", 0, "fsbmpvg {", "fsbmpvg [", "line 1"},
                          Damage{"past the PV", 0, "pe_count = ", "pe_count = 99", "past its end"},
                          Damage{"no seqno", 0, "seqno", "seqnx", "no seqno"}}) {
    SCOPED_TRACE(d.name);
    const std::string copy = scratchPath("lvm-damaged.img");
    copyFile(img_, copy);
    if (d.find.empty()) {
      std::vector<unsigned char> b = readAt(copy, static_cast<uint64_t>(d.at), 1);
      b[0] ^= 0x5a;
      patchFile(copy, static_cast<uint64_t>(d.at), b);
    } else {
      std::vector<unsigned char> t = original;
      const size_t at = body.find(d.find);
      ASSERT_NE(at, std::string::npos);
      std::copy(d.put.begin(), d.put.end(), t.begin() + static_cast<long>(at));
      patchFile(copy, static_cast<uint64_t>(text), t);
      std::vector<unsigned char> h = header;
      putLE32(&h, 56, lvmCrc(t.data(), t.size()));
      putLE32(&h, 0, lvmCrc(h.data() + 4, h.size() - 4));
      patchFile(copy, static_cast<uint64_t>(mda), h);
    }
    std::unique_ptr<FsDisk> damaged(FsDisk::open(copy, &err));
    ASSERT_TRUE(damaged) << err.toString();
    const FsPartition& p = damaged->partitions().at(1);
    EXPECT_EQ(p.content, FsPartition::kUnknown);
    EXPECT_NE(p.why.find(d.why), std::string::npos) << p.why;
    ChunkBitmap got;
    ASSERT_GE(getBitmap(damaged.get(), 1 << 20, &got).code, 0);
    EXPECT_TRUE(allUsed(got, p.start >> 20, (p.start + p.length) >> 20));
    std::remove(copy.c_str());
  }
}

// The tool's copy of the disk: each volume's file system in it checks clean with its file intact,
// the LVM label and metadata are the same bytes, and the deleted data is left out.
TEST_F(LvmDisk, CopyKeepsEveryVolume) {
  FSBMP_REQUIRE_TOOL("xfs_repair");
  if (!filled_) GTEST_SKIP() << "the file systems could not be mounted to fill them";
  const std::string out = scratchPath("lvm-copy.img");
  mustRunTool("copy --chunk-size 64K " + img_ + " " + out + " 2>&1");
  CVoError err;
  std::unique_ptr<FsDisk> disk(FsDisk::open(img_, &err));
  ASSERT_TRUE(disk) << err.toString();
  const FsPartition& p2 = disk->partitions().at(1);
  EXPECT_EQ(readAt(out, static_cast<uint64_t>(p2.start), static_cast<size_t>(p2.peStart)),
            readAt(img_, static_cast<uint64_t>(p2.start), static_cast<size_t>(p2.peStart)));
  const std::string mnt = scratchPath("lvm-mnt");
  for (const auto& [name, file] : {std::pair<std::string, std::string>{"x", fsX_}, {"y", fsY_}}) {
    SCOPED_TRACE(name);
    const std::string fs = scratchPath("lvm-copied.fs");
    mustRun("rm -f " + fs);
    for (const LvRun& r : runs_[name]) {
      const long long at = (p2.start + peStart_) / kMiB + r.pvExtent * 4;
      mustRun("dd if=" + out + " of=" + fs + " bs=1M conv=notrunc status=none skip=" +
              std::to_string(at) + " seek=" + std::to_string(r.lvExtent * 4) +
              " count=" + std::to_string(r.count * 4) + " 2>&1");
    }
    std::string report;
    EXPECT_EQ(run(name == "x" ? "xfs_repair -n " + fs : "e2fsck -fn " + fs, &report, true), 0)
        << report;
    // The kept file, read from the copy and from the file system made alone.
    std::string a, b;
    mustRun("mount -o loop,ro " + fs + " " + mnt);
    run("md5sum < " + mnt + "/keep", &a, true);
    run("umount " + mnt, nullptr, true);
    mustRun("mount -o loop,ro " + file + " " + mnt);
    run("md5sum < " + mnt + "/keep", &b, true);
    run("umount " + mnt, nullptr, true);
    EXPECT_EQ(a, b);
    std::remove(fs.c_str());
  }
  // z, gathered from its stripes on both PVs of the copy.
  std::map<std::string, long long> pvStart{{loop_ + "p2", p2.start},
                                           {loop_ + "p3", disk->partitions().at(2).start}};
  std::vector<unsigned char> z;
  for (long long o = 0; o < 16 * kMiB; o += kStripe) {
    const auto [pv, at] = stripedAt(runs_["z"], peStart_, o);
    const std::vector<unsigned char> piece =
        readAt(out, static_cast<uint64_t>(pvStart[pv] + at), static_cast<size_t>(kStripe));
    z.insert(z.end(), piece.begin(), piece.end());
  }
  const std::string zCopy = scratchPath("lvm-z-copied.fs");
  writeFile(zCopy, z);
  std::string report;
  EXPECT_EQ(run("e2fsck -fn " + zCopy, &report, true), 0) << report;
  std::remove(zCopy.c_str());
  // The deleted data (20 MiB in each volume) stays behind.
  mustRun("fallocate -d " + out + " && fallocate -d " + img_);
  const long long copied = std::stoll(mustRun("du -k " + out + " | cut -f1"));
  const long long source = std::stoll(mustRun("du -k " + img_ + " | cut -f1"));
  EXPECT_LT(copied * 2, source) << copied << " KiB copied of " << source;
  std::remove(out.c_str());
}

}  // namespace
