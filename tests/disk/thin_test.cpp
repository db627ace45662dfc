// LVM thin pools, mapped through their metadata. This kernel has no device-mapper, so the pool is
// put together from the real tools' parts: a VG made by pvcreate/vgcreate on a loop device, the
// pool and its thin volumes written into its text through vgcfgbackup/vgcfgrestore (lvs reads
// them back), the pool's metadata made by thin_restore from XML the test writes (thin_check
// passes it), and the data laid out as that XML maps it. Oracles: dumpe2fs for the ext4 in the
// thin volumes, pushed through the mapping the XML declares; e2fsck and the files themselves for
// a copy of only the chunks the map marks.
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/oracle.h"
#include "common/testutil.h"
#include "fsbmp/fsbmpDisk.h"

using namespace fsbmp_test;

namespace {

const char kLvm[] = "LVM_SUPPRESS_FD_WARNINGS=1 ";
const char kVg[] = "fsbmpthinvg";
const long long kBlock = 64 * 1024;  // the pool's data block (chunk_size 128)
const long long kExtent = 4 << 20;
const long long kDataBlocks = 1024;  // 16 extents of _tdata
const long long kThinBlocks = 384;   // the ext4's 24 MiB
const long long kDiskBytes = 96 << 20;

// Device id -> the data block of each thin block (-1: not mapped).
using Mappings = std::map<int, std::vector<long long>>;

std::string metadataXml(const Mappings& maps, const std::string& flags, int transaction,
                        int blockSectors) {
  std::ostringstream x;
  x << "<superblock uuid=\"\" time=\"1\" transaction=\"" << transaction << "\" flags=\"" << flags
    << "\" version=\"2\" data_block_size=\"" << blockSectors << "\" nr_data_blocks=\""
    << kDataBlocks << "\">\n";
  for (const auto& [id, map] : maps) {
    const long long n = std::count_if(map.begin(), map.end(), [](long long d) { return d >= 0; });
    x << "<device dev_id=\"" << id << "\" mapped_blocks=\"" << n
      << "\" transaction=\"0\" creation_time=\"0\" snap_time=\"1\">\n";
    for (size_t b = 0; b < map.size(); ++b) {
      if (map[b] >= 0)
        x << "<single_mapping origin_block=\"" << b << "\" data_block=\"" << map[b]
          << "\" time=\"0\"/>\n";
    }
    x << "</device>\n";
  }
  x << "</superblock>\n";
  return x.str();
}

// A volume of the VG text: linear on pv0 from `pe`, or a thin-pool or thin segment's lines.
std::string lvText(const std::string& name, int n, bool visible, long long extents,
                   const std::string& segment) {
  char id[64];
  snprintf(id, sizeof id, "thinxx-%04d-xxxx-xxxx-xxxx-xxxx-xxxxxx", n);
  return name + " {\nid = \"" + id + "\"\nstatus = [\"READ\", \"WRITE\"" +
         (visible ? ", \"VISIBLE\"" : "") +
         "]\nflags = []\ncreation_time = 1700000000\ncreation_host = \"fsbmp\"\nsegment_count = "
         "1\nsegment1 {\nstart_extent = 0\nextent_count = " +
         std::to_string(extents) + "\n" + segment + "}\n}\n";
}

class ThinPoolDisk : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* tool : {"pvcreate", "thin_restore", "thin_check", "mkfs.ext4", "debugfs"}) {
      if (!haveCommand(tool)) {
        skip_ = std::string("needs ") + tool;
        return;
      }
    }
    // The ext4 of the thin volume and its snapshot, made from files.
    dir_ = scratchPath("thin-files");
    fs_ = scratchPath("thin.fs");
    mustRun("rm -rf " + dir_ + " " + fs_ + " && mkdir -p " + dir_ + "/sub && for i in 1 2 3; do " +
            "head -c $((i * 700000)) /dev/urandom > " + dir_ + "/f$i; done && echo small > " +
            dir_ + "/sub/s && mkfs.ext4 -q -F -b 4096 -d " + dir_ + " " + fs_ + " 24M");
    std::unique_ptr<OracleImage> image = fsOracle("ext2").blank();
    const OracleImage& oracle = *image;
    image->path = fs_;
    fsOracle("ext2").read(image.get());
    if (!oracle.failure.empty()) {
      skip_ = oracle.failure;
      return;
    }
    fsUsed_.assign(kThinBlocks, false);
    for (size_t b = 0; b < oracle.used.size(); ++b) {
      if (oracle.used[b]) fsUsed_[b * 4096 / kBlock] = true;
    }
    // t1 (id 1) scattered over the pool; t2 (id 2) its snapshot, six blocks of its own; t3 (id 3)
    // random bytes; id 9 a device that the VG does not name.
    std::vector<bool> taken(kDataBlocks, false);
    std::vector<long long>& t1 = maps_[1];
    for (long long b = 0; b < kThinBlocks; ++b) {
      t1.push_back((b * 389 + 11) % kDataBlocks);
      taken[static_cast<size_t>(t1.back())] = true;
    }
    long long next = 0;
    auto fresh = [&]() {
      while (taken[static_cast<size_t>(next)]) ++next;
      taken[static_cast<size_t>(next)] = true;
      return next;
    };
    maps_[2] = t1;
    for (long long b : {0, 1, 2, 200, 300, 383}) maps_[2][static_cast<size_t>(b)] = fresh();
    maps_[3].assign(40, -1);
    for (long long b = 0; b < 20; ++b) maps_[3][static_cast<size_t>(b * 2)] = fresh();
    for (long long b = 0; b < 5; ++b) maps_[9].push_back(fresh());
    // The pool's data: stale bytes everywhere, then each device's blocks.
    std::mt19937 rng(7);
    std::vector<unsigned char> data(static_cast<size_t>(kDataBlocks * kBlock));
    for (unsigned char& c : data) c = static_cast<unsigned char>(rng());
    const std::vector<unsigned char> fs = readFile(fs_);
    for (int id : {1, 2}) {
      for (long long b = 0; b < kThinBlocks; ++b)
        std::copy_n(fs.begin() + b * kBlock, kBlock, data.begin() + maps_[id][b] * kBlock);
    }
    pool_ = scratchPath("thin-pool.data");
    writeFile(pool_, data);
    meta_ = scratchPath("thin.meta");
    makeMetadata(meta_, "0", 5);

    // The VG, on a loop device; its text then given the pool and its volumes.
    const std::string build = scratchPath("thin-build.img");
    mustRun("rm -f " + build + " && truncate -s " + std::to_string(kDiskBytes) + " " + build);
    img_ = scratchPath("thin.img");
    skip_ = makeVg(build, false, "\"pv0\", 0", "\"pv0\", 1", img_, &peStart_);
    if (!skip_.empty()) return;
    mustRun("dd if=" + meta_ + " of=" + img_ +
            " bs=1M conv=notrunc status=none seek=" + std::to_string(peStart_ >> 20));
    mustRun("dd if=" + pool_ + " of=" + img_ +
            " bs=1M conv=notrunc status=none seek=" + std::to_string((peStart_ + kExtent) >> 20));
  }

  // The VG kVg made by pvcreate/vgcreate on `build` through a loop device (its partitions as the
  // PVs, or the whole device), its text then given the pool (metadata and data on the stripes
  // `metaAt` and `dataAt`, as the text writes them) and its thin volumes; copied to `image`, and
  // nothing of it left on the loop device. Empty, or why it could not be made.
  static std::string makeVg(const std::string& build, bool partitions, const std::string& metaAt,
                            const std::string& dataAt, const std::string& image,
                            long long* peStart) {
    LoopDevice loop(build, partitions);
    if (loop.device.empty()) return loop.why;
    const std::string lvm = kLvm, vg = kVg;
    const std::string devs = partitions ? loop.device + "p1 " + loop.device + "p2" : loop.device;
    std::string out;
    if (partitions) run("partx -a " + loop.device, nullptr, true);
    if (run(lvm + "pvcreate -q -ff -y " + devs + " && " + lvm + "vgcreate -q -s 4M " + vg + " " +
                devs,
            &out, true) != 0)
      return "pvcreate/vgcreate failed: " + out;
    const std::string orig = scratchPath("thin-vg.orig"), edited = scratchPath("thin-vg.txt");
    mustRun(lvm + "vgcfgbackup -q -f " + orig + " " + vg + " 2>&1");
    std::string text;
    {
      const std::vector<unsigned char> t = readFile(orig);
      text.assign(t.begin(), t.end());
    }
    const std::string lvs =
        "logical_volumes {\n" +
        lvText("pool", 1, true, 16,
               "type = \"thin-pool\"\nmetadata = \"pool_tmeta\"\npool = \"pool_tdata\"\n"
               "transaction_id = 5\nchunk_size = 128\ndiscards = \"passdown\"\n"
               "zero_new_blocks = 1\n") +
        lvText("t1", 2, true, 6,
               "type = \"thin\"\nthin_pool = \"pool\"\ntransaction_id = 0\ndevice_id = 1\n") +
        lvText("t2", 3, true, 6,
               "type = \"thin\"\nthin_pool = \"pool\"\ntransaction_id = 1\ndevice_id = 2\n"
               "origin = \"t1\"\n") +
        lvText("t3", 4, true, 1,
               "type = \"thin\"\nthin_pool = \"pool\"\ntransaction_id = 2\ndevice_id = 3\n") +
        lvText("pool_tmeta", 5, false, 1,
               "type = \"striped\"\nstripe_count = 1\nstripes = [" + metaAt + "]\n") +
        lvText("pool_tdata", 6, false, 16,
               "type = \"striped\"\nstripe_count = 1\nstripes = [" + dataAt + "]\n") +
        "}\n";
    text.insert(text.rfind('}'), lvs);
    writeFile(edited, std::vector<unsigned char>(text.begin(), text.end()));
    const int restored =
        run(lvm + "vgcfgrestore -q --force -f " + edited + " " + vg + " 2>&1", &out, true);
    std::string listed;
    run(lvm + "lvs -a --noheadings -o lv_name,segtype " + vg + " 2>/dev/null", &listed);
    const std::string first = partitions ? loop.device + "p1" : loop.device;
    *peStart = std::stoll(mustRun(lvm + "pvs --noheadings --units b --nosuffix -o pe_start " +
                                  first + " 2>/dev/null"));
    if (restored == 0) mustRun("sync " + build + " && cp " + build + " " + image);
    // Leave nothing of the VG behind on the loop device.
    run(lvm + "vgcfgrestore -q -f " + orig + " " + vg, nullptr, true);
    run(lvm + "vgremove -q -f " + vg, nullptr, true);
    run(lvm + "pvremove -q -ff -y " + devs, nullptr, true);
    EXPECT_EQ(restored, 0) << out;
    for (const char* name :
         {"pool ", "t1 ", "t2 ", "t3 ", "[pool_tmeta]", "[pool_tdata]", "thin-pool"})
      EXPECT_NE(listed.find(name), std::string::npos) << name << " not in lvs:\n" << listed;
    return restored == 0 ? "" : "vgcfgrestore failed: " + out;
  }

  // Thin-pool metadata by thin_restore, checked by thin_check.
  static void makeMetadata(const std::string& path, const std::string& flags, int transaction,
                           int blockSectors = 128) {
    const std::string xml = path + ".xml";
    const std::string x = metadataXml(maps_, flags, transaction, blockSectors);
    writeFile(xml, std::vector<unsigned char>(x.begin(), x.end()));
    mustRun("rm -f " + path + " && truncate -s 4M " + path + " && thin_restore -q -i " + xml +
            " -o " + path + " 2>&1");
    if (flags == "0") mustRun("thin_check -q " + path + " 2>&1");
  }

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
  }

  // The pool blocks that must count used: what t1 and t2 use of the ext4, all of t3 and id 9.
  static std::vector<bool> usedPoolBlocks() {
    std::vector<bool> used(kDataBlocks, false);
    for (const auto& [id, map] : maps_) {
      for (size_t b = 0; b < map.size(); ++b) {
        if (map[b] >= 0 && (id > 2 || fsUsed_[b])) used[static_cast<size_t>(map[b])] = true;
      }
    }
    return used;
  }

  static const FsLogicalVolume* volume(const FsPartition& p, const std::string& name) {
    for (const FsLogicalVolume& lv : p.volumes) {
      if (lv.name == name) return &lv;
    }
    return nullptr;
  }

  static std::string info(const FsLogicalVolume& lv, const std::string& key) {
    for (const FsParser::Property& p : lv.layerInfo) {
      if (p.key == key) return p.value;
    }
    return "";
  }

  static std::string skip_, dir_, fs_, pool_, meta_, img_;
  static long long peStart_;
  static Mappings maps_;
  static std::vector<bool> fsUsed_;  // per pool-sized block of the ext4
};

std::string ThinPoolDisk::skip_, ThinPoolDisk::dir_, ThinPoolDisk::fs_, ThinPoolDisk::pool_,
    ThinPoolDisk::meta_, ThinPoolDisk::img_;
long long ThinPoolDisk::peStart_ = 0;
Mappings ThinPoolDisk::maps_;
std::vector<bool> ThinPoolDisk::fsUsed_;

TEST_F(ThinPoolDisk, PoolDataMappedByWhatTheThinVolumesUse) {
  CVoError err;
  std::unique_ptr<FsDisk> disk(FsDisk::open(img_, &err));
  ASSERT_TRUE(disk) << err.toString();
  ASSERT_EQ(disk->partitions().size(), 1u);
  const FsPartition& p = disk->partitions()[0];
  ASSERT_EQ(p.content, FsPartition::kLvmPv) << p.why;
  const FsLogicalVolume* pool = volume(p, "pool");
  ASSERT_TRUE(pool);
  EXPECT_EQ(pool->layer, "thin-pool");
  EXPECT_EQ(info(*pool, "state"), "ok");
  EXPECT_EQ(info(*pool, "data_blocks"), std::to_string(kDataBlocks));
  EXPECT_EQ(info(*pool, "thin_volumes"), "4");
  for (const char* name : {"t1", "t2"}) {
    const FsLogicalVolume* t = volume(p, name);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->layer, "thin");
    EXPECT_TRUE(t->mapped) << t->why;
    EXPECT_EQ(t->fsType, FsParser::kExt2);
    EXPECT_EQ(info(*t, "mapped_blocks"), std::to_string(kThinBlocks));
  }
  const FsLogicalVolume* t3 = volume(p, "t3");
  ASSERT_TRUE(t3);
  EXPECT_FALSE(t3->mapped);
  EXPECT_EQ(info(*t3, "mapped_blocks"), "20");

  disk->setVerify(true);
  ChunkBitmap got;
  ASSERT_GE(getBitmap(disk.get(), static_cast<int>(kBlock), &got).code, 0);
  ASSERT_EQ(got.nChunks, kDiskBytes / kBlock);
  // The thin volumes' file systems were verified: every file's blocks inside what they mark.
  std::set<std::string> verified;
  for (const FsDisk::Verified& v : disk->verifyReports()) {
    EXPECT_TRUE(v.report.ran && v.report.blocksFreeInMaps == 0) << v.name;
    verified.insert(v.name);
  }
  EXPECT_EQ(verified, (std::set<std::string>{"volume fsbmpthinvg/t1", "volume fsbmpthinvg/t2"}));
  // Used: the PV's label and metadata, the pool's metadata extent, the pool blocks in use, and
  // the PV's end past its last extent; the free extents and unused pool blocks are free.
  std::vector<bool> expected(static_cast<size_t>(got.nChunks), false);
  const long long first = peStart_ / kBlock, perExtent = kExtent / kBlock;
  const long long peCount = (kDiskBytes - peStart_) / kExtent;
  for (long long c = 0; c < got.nChunks; ++c)
    expected[c] = c < first + perExtent || c >= first + peCount * perExtent;
  const std::vector<bool> pool_used = usedPoolBlocks();
  for (long long b = 0; b < kDataBlocks; ++b) expected[first + perExtent + b] = pool_used[b];
  EXPECT_TRUE(sameChunks(got, expected, got.nChunks));
  // The snapshot's own copies of blocks t1 does not use stay free, as do the pool's unmapped ones.
  EXPECT_FALSE(pool_used[static_cast<size_t>(maps_[2][383])]);
  EXPECT_LT(std::count(pool_used.begin(), pool_used.end(), true), kDataBlocks / 2);
}

TEST_F(ThinPoolDisk, CopyOfTheMarkedChunksHoldsEveryThinFile) {
  CVoError err;
  std::unique_ptr<FsDisk> disk(FsDisk::open(img_, &err));
  ASSERT_TRUE(disk) << err.toString();
  ChunkBitmap got;
  ASSERT_GE(getBitmap(disk.get(), static_cast<int>(kBlock), &got).code, 0);
  const std::vector<unsigned char> whole = readFile(img_);
  std::vector<unsigned char> copy(whole.size(), 0);
  for (long long c = 0; c < got.nChunks; ++c) {
    if (got.test(c)) std::copy_n(whole.begin() + c * kBlock, kBlock, copy.begin() + c * kBlock);
  }
  for (int id : {1, 2}) {
    // The thin volume, taken out of the copy through the mapping.
    std::vector<unsigned char> thin(static_cast<size_t>(kThinBlocks * kBlock));
    for (long long b = 0; b < kThinBlocks; ++b)
      std::copy_n(copy.begin() + peStart_ + kExtent + maps_[id][b] * kBlock, kBlock,
                  thin.begin() + b * kBlock);
    const std::string path = scratchPath("thin-out.fs"), out = scratchPath("thin-out");
    writeFile(path, thin);
    std::string log;
    EXPECT_EQ(run("e2fsck -fn " + path, &log, true), 0) << "device " << id << ": " << log;
    mustRun("rm -rf " + out + " && mkdir -p " + out + " && debugfs -R 'rdump / " + out + "' " +
            path + " 2>/dev/null");
    EXPECT_EQ(run("diff -r " + dir_ + " " + out + "/ -x lost+found", &log, true), 0)
        << "device " << id << ": " << log;
  }
}

// The pool's metadata on one PV and its data on another, both partitions of one disk: the pool is
// read through the disk, and its data blocks in use are marked on the second PV alone.
TEST_F(ThinPoolDisk, PoolAcrossTwoPvsOfOneDisk) {
  const std::string build = scratchPath("thin-two.build"), img = scratchPath("thin-two.img");
  mustRun("rm -f " + build + " && truncate -s 128M " + build +
          " && printf 'label: gpt\\n,40M,V\\n,,V\\n' | sfdisk -q " + build);
  long long peStart = 0;
  const std::string why = makeVg(build, true, "\"pv0\", 0", "\"pv1\", 0", img, &peStart);
  if (!why.empty()) GTEST_SKIP() << why;
  CVoError err;
  std::unique_ptr<FsDisk> disk(FsDisk::open(img, &err));
  ASSERT_TRUE(disk) << err.toString();
  ASSERT_EQ(disk->partitions().size(), 2u);
  const long long meta = disk->partitions()[0].start + peStart;
  const long long data = disk->partitions()[1].start + peStart;
  patchFile(img, static_cast<uint64_t>(meta), readFile(meta_));
  patchFile(img, static_cast<uint64_t>(data), readFile(pool_));
  disk.reset(FsDisk::open(img, &err));
  ASSERT_TRUE(disk) << err.toString();
  for (const FsPartition& p : disk->partitions()) {
    ASSERT_EQ(p.content, FsPartition::kLvmPv) << p.why;
    const FsLogicalVolume* pool = volume(p, "pool");
    ASSERT_TRUE(pool);
    EXPECT_EQ(info(*pool, "state"), "ok") << pool->why;
    EXPECT_TRUE(volume(p, "t1")->mapped) << volume(p, "t1")->why;
  }
  disk->setVerify(true);
  ChunkBitmap got;
  ASSERT_GE(getBitmap(disk.get(), static_cast<int>(kBlock), &got).code, 0);
  EXPECT_EQ(disk->verifyReports().size(), 2u);  // t1 and t2, once each
  const std::vector<bool> used = usedPoolBlocks();
  for (long long b = 0; b < kDataBlocks; ++b)
    EXPECT_EQ(got.test(data / kBlock + b), used[static_cast<size_t>(b)]) << b;
  EXPECT_TRUE(allUsed(got, meta / kBlock, (meta + kExtent) / kBlock));
}

// Metadata that cannot be trusted: the pool's metadata and data extents count used whole, and
// the pool says why.
TEST_F(ThinPoolDisk, UntrustedMetadataKeepsThePoolWhole) {
  struct Case {
    const char* name;
    const char* flags;
    int transaction;
    int blockSectors;
    int patch;  // 0: none; 1: superblock byte; 2: an internal node points at itself; 3: outside
    const char* why;
  };
  const Case cases[] = {
      {"bad superblock checksum", "0", 5, 128, 1, "checksum"},
      {"needs_check", "1", 5, 128, 0, "needs_check"},
      {"transaction behind the VG's", "0", 4, 128, 0, "needs repair"},
      {"data block other than the VG's chunk", "0", 5, 256, 0, "not the VG's chunk"},
      {"mapping tree loops", "0", 5, 128, 2, "reached twice"},
      {"mapping tree points outside", "0", 5, 128, 3, "outside"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string meta = scratchPath("thin-bad.meta"), img = scratchPath("thin-bad.img");
    makeMetadata(meta, c.flags, c.transaction, c.blockSectors);
    std::vector<unsigned char> m = readFile(meta);
    if (c.patch == 1) m[200] ^= 0x40;
    if (c.patch >= 2) {
      // The first internal node with 8-byte values: a thin device's mapping tree.
      size_t at = 0;
      for (size_t b = 1; b < m.size() / 4096 && !at; ++b) {
        if (getLE32(m, b * 4096 + 4) == 1 && getLE32(m, b * 4096 + 24) == 8) at = b * 4096;
      }
      ASSERT_NE(at, 0u);
      const size_t child = at + 32 + 8 * getLE32(m, at + 20);
      const unsigned long long target = c.patch == 2 ? at / 4096 : 1ull << 40;
      for (int i = 0; i < 8; ++i) m[child + i] = static_cast<unsigned char>(target >> (8 * i));
      putLE32(&m, at, crc32cBits(0xFFFFFFFFu, m.data() + at + 4, 4092) ^ 121107u);
    }
    copyFile(img_, img);
    patchFile(img, static_cast<uint64_t>(peStart_), m);
    CVoError err;
    std::unique_ptr<FsDisk> disk(FsDisk::open(img, &err));
    ASSERT_TRUE(disk) << err.toString();
    const FsLogicalVolume* pool = volume(disk->partitions()[0], "pool");
    ASSERT_TRUE(pool);
    EXPECT_NE(pool->why.find(c.why), std::string::npos) << pool->why;
    EXPECT_NE(info(*pool, "state"), "ok");
    ChunkBitmap got;
    ASSERT_GE(getBitmap(disk.get(), static_cast<int>(kBlock), &got).code, 0);
    const long long first = peStart_ / kBlock, perExtent = kExtent / kBlock;
    EXPECT_TRUE(allUsed(got, first, first + 17 * perExtent));
    EXPECT_FALSE(got.test(first + 17 * perExtent));
  }
}

}  // namespace
