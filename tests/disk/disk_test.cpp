// Whole disks: tables written by sfdisk, file systems made alone by the real mkfs tools and
// written into their partitions. Oracles: sfdisk --dump for the layout, the parser's own bitmap of
// each file system made alone (checked against dumpe2fs and xfs_db by the parsers' tests).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/testutil.h"
#include "disk/disk_table.h"
#include "fsbmp/fsbmpDisk.h"

using namespace fsbmp_test;

namespace {

const char kXfsEnv[] = "TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 ";

// What a test writes into a partition.
enum class Fill { kNone, kExt4, kXfs, kReiserFS, kSwap, kHibernation, kJunk };

struct Slot {
  int number;
  long long start;   // bytes
  long long length;  // bytes
};

std::string quoted(const std::string& s) {
  return "'" + s + "'";
}

std::string mkfsCommand(Fill fill, const std::string& img) {
  switch (fill) {
    case Fill::kExt4:
      return "mkfs.ext4 -q -F " + quoted(img);
    case Fill::kXfs:
      return std::string(kXfsEnv) + "mkfs.xfs -f -q " + quoted(img);
    case Fill::kReiserFS:
      return "mkreiserfs -f -q " + quoted(img);
    case Fill::kSwap:
    case Fill::kHibernation:
      return "mkswap " + quoted(img);
    case Fill::kJunk:
      return "head -c $(stat -c %s " + quoted(img) + ") /dev/urandom > " + quoted(img);
    case Fill::kNone:
      break;
  }
  return "true";
}

// The partitions as sfdisk reads them back.
std::vector<Slot> sfdiskSlots(const std::string& img, long long sectorBytes = 512) {
  std::istringstream dump(mustRun("sfdisk --dump " + quoted(img)));
  std::vector<Slot> slots;
  std::string line;
  while (std::getline(dump, line)) {
    const size_t colon = line.find(" : start=");
    const size_t extended = line.find("type=5");  // the container of logical partitions
    if (colon == std::string::npos || (extended != std::string::npos &&
                                       (extended + 6 == line.size() || line[extended + 6] == ',')))
      continue;
    size_t digits = colon;
    while (digits > 0 && isdigit(static_cast<unsigned char>(line[digits - 1]))) --digits;
    long long start = 0, size = 0;
    EXPECT_EQ(sscanf(line.c_str() + colon, " : start= %lld, size= %lld", &start, &size), 2);
    slots.push_back(Slot{std::stoi(line.substr(digits, colon - digits)), start * sectorBytes,
                         size * sectorBytes});
  }
  return slots;
}

// Makes a disk image of `size` with the sfdisk `script`; fills partition i (in sfdisk's order,
// extended partitions left out) as fills[i] says, each file system made alone in `fsImages[i]`.
std::vector<Slot> makeDisk(const std::string& img, const char* size, const char* script,
                           const std::vector<Fill>& fills, std::vector<std::string>* fsImages) {
  mustRun("rm -f " + quoted(img) + " && truncate -s " + size + " " + quoted(img) + " && printf '" +
          script + "' | sfdisk -q " + quoted(img));
  std::vector<Slot> slots = sfdiskSlots(img);
  EXPECT_EQ(slots.size(), fills.size());
  for (size_t i = 0; i < slots.size() && i < fills.size(); ++i) {
    const std::string fs = img + "." + std::to_string(slots[i].number);
    fsImages->push_back(fs);
    if (fills[i] == Fill::kNone) continue;
    mustRun("rm -f " + quoted(fs) + " && truncate -s " + std::to_string(slots[i].length) + " " +
            quoted(fs) + " && " + mkfsCommand(fills[i], fs) + " >/dev/null 2>&1");
    if (fills[i] == Fill::kHibernation) {
      const std::string sig = "S1SUSPEND";
      patchFile(fs, 4096 - 10, std::vector<unsigned char>(sig.begin(), sig.end()));
    }
    mustRun("dd if=" + quoted(fs) + " of=" + quoted(img) + " bs=64K oflag=seek_bytes seek=" +
            std::to_string(slots[i].start) + " conv=notrunc status=none");
  }
  return slots;
}

bool isFileSystem(Fill f) {
  return f == Fill::kExt4 || f == Fill::kXfs || f == Fill::kReiserFS;
}

struct DiskCase {
  const char* name;
  const char* size;
  const char* script;
  std::vector<Fill> fills;
  const char* label;
};

class DiskMapTest : public ::testing::TestWithParam<DiskCase> {};

// The disk's bitmap, chunk by chunk, against what the file systems made alone say: a chunk wholly
// inside a file system (or inside a swap area past its header page) is used exactly when one of
// that file system's used blocks touches it; every other chunk is used.
TEST_P(DiskMapTest, EveryUsedBlockOfEveryPartitionAtItsDiskOffset) {
  const DiskCase& c = GetParam();
  FSBMP_REQUIRE_TOOL("sfdisk");
  FSBMP_REQUIRE_TOOL("mkfs.xfs");
  FSBMP_REQUIRE_TOOL("mkreiserfs");
  FSBMP_REQUIRE_TOOL("mkswap");
  const std::string img = scratchPath(std::string(c.name) + ".img");
  std::vector<std::string> fsImages;
  const std::vector<Slot> slots = makeDisk(img, c.size, c.script, c.fills, &fsImages);
  ASSERT_EQ(slots.size(), c.fills.size());

  CVoError err;
  std::unique_ptr<FsDisk> disk(FsDisk::open(img, &err));
  ASSERT_TRUE(disk) << err.toString();
  EXPECT_EQ(disk->label(), c.label);
  EXPECT_FALSE(disk->fromBackup());
  const std::vector<FsPartition>& parts = disk->partitions();
  ASSERT_EQ(parts.size(), slots.size());

  // The used blocks of each file system made alone, at its block size.
  std::vector<ChunkBitmap> alone(slots.size());
  std::vector<int> blockSizes(slots.size(), 0);
  for (size_t i = 0; i < slots.size(); ++i) {
    SCOPED_TRACE(parts[i].number);
    EXPECT_EQ(parts[i].number, slots[i].number);
    EXPECT_EQ(parts[i].start, slots[i].start);
    EXPECT_EQ(parts[i].length, slots[i].length);
    const FsPartition::Content want = isFileSystem(c.fills[i])           ? FsPartition::kFileSystem
                                      : c.fills[i] == Fill::kSwap        ? FsPartition::kSwap
                                      : c.fills[i] == Fill::kHibernation ? FsPartition::kHibernation
                                                                         : FsPartition::kUnknown;
    EXPECT_EQ(parts[i].content, want);
    if (!isFileSystem(c.fills[i])) continue;
    std::unique_ptr<FsParser> parser(FsParser::init(fsImages[i], &err));
    ASSERT_TRUE(parser) << err.toString();
    EXPECT_EQ(parts[i].fsType, parser->fsType);
    blockSizes[i] = parser->blockSize;
    ASSERT_GE(getBitmap(parser.get(), parser->blockSize, &alone[i]).code, 0);
  }

  for (int chunk : {4096, 1 << 20}) {
    SCOPED_TRACE(chunk);
    ChunkBitmap got;
    ASSERT_GE(getBitmap(disk.get(), chunk, &got).code, 0);
    const long long nChunks = (disk->size() + chunk - 1) / chunk;
    ASSERT_EQ(got.nChunks, nChunks);

    std::vector<bool> free(static_cast<size_t>(nChunks), false);
    std::vector<bool> used(static_cast<size_t>(nChunks), false);
    auto inside = [&](long long from, long long to, bool value) {
      for (long long k = (from + chunk - 1) / chunk; k < to / chunk && k < nChunks; ++k)
        free[static_cast<size_t>(k)] = value;
    };
    auto touch = [&](long long from, long long to) {
      for (long long k = from / chunk; k * chunk < to && k < nChunks; ++k)
        used[static_cast<size_t>(k)] = true;
    };
    for (size_t i = 0; i < slots.size(); ++i) {
      const long long start = slots[i].start, end = start + slots[i].length;
      if (isFileSystem(c.fills[i])) {
        inside(start, end, true);
        for (long long b = 0; b < alone[i].nChunks && start + b * blockSizes[i] < end; ++b)
          if (alone[i].test(b)) touch(start + b * blockSizes[i], start + (b + 1) * blockSizes[i]);
      } else if (c.fills[i] == Fill::kSwap) {
        inside(start + 4096, end, true);
      }
    }
    for (size_t i = 0; i < slots.size(); ++i) {
      if (!isFileSystem(c.fills[i]) && c.fills[i] != Fill::kSwap)
        touch(slots[i].start, slots[i].start + slots[i].length);
    }
    std::vector<bool> want(static_cast<size_t>(nChunks));
    for (size_t k = 0; k < want.size(); ++k) want[k] = !free[k] || used[k];
    EXPECT_TRUE(sameChunks(got, want, nChunks));
    // The table areas: the MBR sector, and for a GPT the backup at the end.
    EXPECT_TRUE(got.test(0));
    EXPECT_TRUE(got.test(nChunks - 1));
    EXPECT_LT(usedChunks(got), nChunks * 3 / 4) << "the free space of the file systems is not free";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, DiskMapTest,
    ::testing::Values(
        DiskCase{"gpt",
                 "160M",
                 "label: gpt\\n,40M,L\\n,64M,L\\n,16M,S\\n,10M,L\\n",
                 {Fill::kExt4, Fill::kXfs, Fill::kSwap, Fill::kJunk},
                 "GPT"},
        DiskCase{"logical",
                 "200M",
                 "label: dos\\n,64M,L\\n,,E\\n,40M,L\\n,64M,L\\n,8M,S\\n",
                 {Fill::kReiserFS, Fill::kExt4, Fill::kXfs, Fill::kHibernation},
                 "MBR"},
        // Sector 2049: not aligned to any chunk; 1 KiB ext4 blocks straddle disk chunks.
        DiskCase{"unaligned",
                 "64M",
                 "label: dos\\nstart=2049, size=81919, type=83\\nstart=90000, size=20000, "
                 "type=83\\n",
                 {Fill::kExt4, Fill::kNone},
                 "MBR"}),
    [](const ::testing::TestParamInfo<DiskCase>& p) { return std::string(p.param.name); });

// A file system made on a whole device that held a table, and a table written over a whole-device
// file system.
struct Layering {
  const char* name;
  Fill fill;
  const char* script;
  bool tableFirst;      // the table, then mkfs; else mkfs, then the table
  const char* refusal;  // the factory's message, {} for the image; null: the file system is read
};

class LayeringTest : public ::testing::TestWithParam<Layering> {};

TEST_P(LayeringTest, TheNewerOfTableAndFileSystemWins) {
  const Layering& c = GetParam();
  FSBMP_REQUIRE_TOOL("sfdisk");
  FSBMP_REQUIRE_TOOL("mkfs.xfs");
  FSBMP_REQUIRE_TOOL("mkreiserfs");
  const std::string img = scratchPath(std::string(c.name) + ".img");
  const std::string table = "printf '" + std::string(c.script) + "' | sfdisk -q " + quoted(img);
  const std::string mkfs = mkfsCommand(c.fill, img) + " >/dev/null 2>&1";
  mustRun("rm -f " + quoted(img) + " && truncate -s 320M " + quoted(img) + " && " +
          (c.tableFirst ? table + " && " + mkfs : mkfs + " && " + table));

  CVoError parserErr, diskErr;
  std::unique_ptr<FsParser> parser(FsParser::init(img, &parserErr));
  std::unique_ptr<FsDisk> disk(FsDisk::open(img, &diskErr));
  if (!c.refusal) {
    ASSERT_TRUE(parser) << parserErr.toString();
    EXPECT_EQ(parser->fsType, c.fill == Fill::kExt4  ? FsParser::kExt2
                              : c.fill == Fill::kXfs ? FsParser::kXFS
                                                     : FsParser::kReiserFS);
    EXPECT_FALSE(disk);
    EXPECT_EQ(diskErr.errNo(), ENOSYS);
    return;
  }
  EXPECT_FALSE(parser);
  EXPECT_EQ(parserErr.errNo(), ENOSYS);
  std::string want = c.refusal;
  want.replace(want.find("{}"), 2, img);
  EXPECT_EQ(parserErr.message(), want);
  ASSERT_TRUE(disk) << diskErr.toString();
  EXPECT_EQ(disk->partitions().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, LayeringTest,
    ::testing::Values(
        // The mkfs tools wipe the MBR and the primary GPT; mkreiserfs leaves the backup GPT.
        Layering{"ext4_on_gpt", Fill::kExt4, "label: gpt\\n,100M,L\\n,,L\\n", true, nullptr},
        Layering{"xfs_on_mbr", Fill::kXfs, "label: dos\\n,100M,L\\n,,L\\n", true, nullptr},
        Layering{"reiserfs_on_gpt", Fill::kReiserFS, "label: gpt\\n,100M,L\\n,,L\\n", true,
                 nullptr},
        Layering{"reiserfs_on_mbr", Fill::kReiserFS, "label: dos\\n,100M,L\\n,,L\\n", true,
                 nullptr},
        // sfdisk keeps what lies before the first partition: the old superblocks survive.
        Layering{"mbr_on_ext4", Fill::kExt4, "label: dos\\n,100M,L\\n,,L\\n", false,
                 "{} holds a partition table (MBR, 2 partitions): map it as a disk"},
        Layering{"gpt_on_reiserfs", Fill::kReiserFS, "label: gpt\\n,100M,L\\n,,L\\n", false,
                 "{} holds a partition table (GPT, 2 partitions): map it as a disk"},
        Layering{"gpt_on_ext4", Fill::kExt4, "label: gpt\\n,100M,L\\n,,L\\n", false,
                 "{} holds a partition table (GPT, 2 partitions): map it as a disk"}),
    [](const ::testing::TestParamInfo<Layering>& p) { return std::string(p.param.name); });

// Damaged tables: read from what survives, or refused; never a crash, a hang or a lost partition.
struct Damage {
  const char* name;
  const char* script;
  void (*damage)(const std::string& img);
  int partitions;       // what FsDisk lists; -1: refused
  const char* refusal;  // FsDisk's root message when refused, {} for the image
  bool fromBackup;
};

class DamageTest : public ::testing::TestWithParam<Damage> {};

TEST_P(DamageTest, ReadFromWhatSurvivesOrRefused) {
  const Damage& c = GetParam();
  FSBMP_REQUIRE_TOOL("sfdisk");
  const std::string img = scratchPath(std::string(c.name) + ".img");
  mustRun("rm -f " + quoted(img) + " && truncate -s 64M " + quoted(img) + " && printf '" +
          c.script + "' | sfdisk -q " + quoted(img));
  c.damage(img);

  CVoError err;
  std::unique_ptr<FsParser> parser(FsParser::init(img, &err));
  EXPECT_FALSE(parser);
  EXPECT_NE(err.errNo(), 0);
  std::unique_ptr<FsDisk> disk(FsDisk::open(img, &err));
  if (c.partitions < 0) {
    ASSERT_FALSE(disk);
    EXPECT_EQ(err.errNo(), ENOSYS);
    std::string want = c.refusal;
    if (want.find("{}") != std::string::npos) want.replace(want.find("{}"), 2, img);
    EXPECT_EQ(err.rootMessage(), want);
    return;
  }
  ASSERT_TRUE(disk) << err.toString();
  EXPECT_EQ(disk->partitions().size(), static_cast<size_t>(c.partitions));
  EXPECT_EQ(disk->fromBackup(), c.fromBackup);
  ChunkBitmap bits;
  ASSERT_GE(getBitmap(disk.get(), 65536, &bits).code, 0);
  EXPECT_TRUE(allUsed(bits, 0, bits.nChunks));  // nothing known
}

void flip(const std::string& img, uint64_t at) {
  patchFile(img, at, {static_cast<unsigned char>(readAt(img, at, 1)[0] ^ 0x40)});
}

const char kGpt[] = "label: gpt\\n,20M,L\\n,,L\\n";
const char kLogical[] = "label: dos\\n,10M,L\\n,,E\\n,10M,L\\n,10M,L\\n,,L\\n";
const uint64_t kEnd = 64 << 20;

INSTANTIATE_TEST_SUITE_P(
    Tables, DamageTest,
    ::testing::Values(
        Damage{"gpt_primary_header", kGpt, [](const std::string& img) { flip(img, 512 + 24); }, 2,
               "", true},
        Damage{"gpt_primary_entries", kGpt, [](const std::string& img) { flip(img, 1024 + 60); }, 2,
               "", true},
        Damage{"gpt_both_headers", kGpt,
               [](const std::string& img) {
                 flip(img, 512 + 20);
                 flip(img, kEnd - 512 + 20);
               },
               -1, "Sector 0 holds a GPT protective MBR, but neither GPT header verifies", false},
        Damage{"gpt_past_the_end", kGpt,
               [](const std::string& img) { mustRun("truncate -s 40M " + quoted(img)); }, -1,
               "GPT partition 2 (sectors 43008-129023) lies outside the device of 81920 sectors",
               false},
        // The third EBR links back to the second: the chain stops where it loops.
        Damage{"ebr_loop", kLogical,
               [](const std::string& img) {
                 const uint64_t ext = getLE32(readAt(img, 446 + 16 + 8, 4), 0) * 512ull;
                 const std::vector<unsigned char> toSecond = readAt(img, ext + 462, 16);
                 const uint64_t second = ext + getLE32(toSecond, 8) * 512ull;
                 const uint64_t third = ext + getLE32(readAt(img, second + 462 + 8, 4), 0) * 512ull;
                 patchFile(img, third + 462, toSecond);
               },
               4, "", false},
        Damage{"mbr_past_the_end", "label: dos\\n,20M,L\\n,,L\\n",
               [](const std::string& img) { mustRun("truncate -s 40M " + quoted(img)); }, -1,
               "{} holds no partition table, no LVM physical volume, no md RAID member and no LUKS "
               "container",
               false}),
    [](const ::testing::TestParamInfo<Damage>& p) { return std::string(p.param.name); });

// FAT and NTFS boot sectors end in 0x55AA too; their boot code is not a table.
TEST(DiskTableTest, VolumeBootSectorIsNoTable) {
  std::vector<unsigned char> image(1 << 20, 0);
  image[0] = 0xEB;
  putLE16(&image, 11, 512);
  image[13] = 8;
  memcpy(&image[54], "FAT16   ", 8);
  // Boot code that happens to look like one sane entry.
  image[446 + 4] = 0x83;
  putLE32(&image, 446 + 8, 64);
  putLE32(&image, 446 + 12, 64);
  image[510] = 0x55;
  image[511] = 0xAA;
  const std::string path = scratchPath("fat.img");
  writeFile(path, image);
  CVoError err;
  std::unique_ptr<FsDisk> disk(FsDisk::open(path, &err));
  EXPECT_FALSE(disk);
  EXPECT_EQ(err.message(), path +
                               " holds no partition table, no LVM physical volume, no md RAID "
                               "member and no LUKS container");
  memset(&image[54], 0, 8);  // no longer a FAT boot sector: the entry makes it an MBR
  writeFile(path, image);
  disk.reset(FsDisk::open(path, &err));
  ASSERT_TRUE(disk) << err.toString();
  ASSERT_EQ(disk->partitions().size(), 1u);
  EXPECT_EQ(disk->partitions()[0].start, 64 * 512);
  EXPECT_EQ(disk->partitions()[0].type, "0x83");
}

// An MBR on a disk of 4096-byte logical sectors counts its entries in those sectors.
TEST(DiskTableTest, MbrOfA4KnDisk) {
  FSBMP_REQUIRE_TOOL("sfdisk");
  const std::string img = scratchPath("4kn.img"), fs = scratchPath("4kn.ext4");
  mustRun("rm -f " + quoted(img) + " && truncate -s 96M " + quoted(img));
  LoopDevice loop(img, false, 4096);
  if (loop.device.empty()) GTEST_SKIP() << loop.why;
  mustRun("printf 'label: dos\\n,40M,L\\n,,L\\n' | sfdisk -q " + loop.device);
  const std::vector<Slot> slots = sfdiskSlots(loop.device, 4096);
  ASSERT_EQ(slots.size(), 2u);
  mustRun("rm -f " + quoted(fs) + " && truncate -s " + std::to_string(slots[0].length) + " " +
          quoted(fs) + " && mkfs.ext4 -q -F " + quoted(fs) + " && dd if=" + quoted(fs) +
          " of=" + loop.device + " bs=64K oflag=seek_bytes seek=" + std::to_string(slots[0].start) +
          " conv=notrunc status=none");
  CVoError err;
  std::unique_ptr<FsDisk> disk(FsDisk::open(loop.device, &err));
  ASSERT_NE(disk, nullptr) << err.toString();
  ASSERT_EQ(disk->partitions().size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(disk->partitions()[i].start, slots[i].start);
    EXPECT_EQ(disk->partitions()[i].length, slots[i].length);
  }
  EXPECT_EQ(disk->partitions()[0].content, FsPartition::kFileSystem);
  EXPECT_EQ(disk->partitions()[1].content, FsPartition::kUnknown);
}

TEST(DiskTableTest, Crc32OfTheCheckString) {
  const unsigned char check[] = "123456789";
  EXPECT_EQ(fsbmp::crc32Gpt(check, 9), 0xCBF43926u);
}

TEST(DiskTableTest, ChunkSizeRefused) {
  FSBMP_REQUIRE_TOOL("sfdisk");
  const std::string img = scratchPath("chunks.img");
  mustRun("rm -f " + quoted(img) + " && truncate -s 8M " + quoted(img) +
          " && printf 'label: dos\\n,,L\\n' | sfdisk -q " + quoted(img));
  CVoError err;
  std::unique_ptr<FsDisk> disk(FsDisk::open(img, &err));
  ASSERT_TRUE(disk) << err.toString();
  for (int chunk : {0, 256, 3000}) {
    void* raw = &err;
    long long n = 7;
    EXPECT_EQ(disk->getBmp(chunk, &raw, &n).errNo(), EINVAL) << chunk;
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(n, 0);
  }
}

}  // namespace
