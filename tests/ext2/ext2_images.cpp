#include "ext2_images.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "common/testutil.h"

namespace ext2_test {

namespace {

long long headerValue(const std::string& text, const std::string& key, long long missing) {
  size_t at = text.find("\n" + key + ":");
  if (at == std::string::npos) return missing;
  return atoll(text.c_str() + at + key.size() + 2);
}

void addRangeBlocks(const std::string& list, std::vector<long long>* out) {
  fsbmp_test::forEachRange(
      list,
      [](void* ctx, long long a, long long b) {
        for (long long x = a; x <= b; ++x) static_cast<std::vector<long long>*>(ctx)->push_back(x);
      },
      out);
}

// The text after `key` up to the end of the clause (a comma or the line's end).
bool clauseAfter(const std::string& line, const std::string& key, std::string* out) {
  size_t at = line.find(key);
  if (at == std::string::npos) return false;
  std::string rest = line.substr(at + key.size());
  *out = rest.substr(0, rest.find(','));
  return true;
}

struct FreeCtx {
  std::vector<bool>* used;
  long long clusterBlocks;
};

}  // namespace

std::vector<std::string> layoutNames() {
  return fsbmp_test::imageNames("ext2");
}

bool parseDumpe2fs(const std::string& text, Ext2Image* image) {
  image->blockSize = static_cast<int>(headerValue(text, "Block size", 0));
  image->blockCount = headerValue(text, "Block count", 0);
  image->firstBlock = headerValue(text, "First block", -1);
  image->blocksPerGroup = headerValue(text, "Blocks per group", 0);
  image->descSize = headerValue(text, "Group descriptor size", 32);
  const long long clusterSize = headerValue(text, "Cluster size", image->blockSize);
  if (image->blockSize <= 0 || image->blockCount <= 0 || image->firstBlock < 0) return false;
  image->clusterBlocks = clusterSize / image->blockSize;

  image->used.assign(static_cast<size_t>(image->blockCount), true);
  FreeCtx ctx{&image->used, image->clusterBlocks};
  std::istringstream in(text);
  std::string line;
  GroupInfo* g = nullptr;
  while (std::getline(in, line)) {
    long long n, a, b;
    if (sscanf(line.c_str(), "Group %lld: (Blocks %lld-%lld)", &n, &a, &b) == 3) {
      image->groups.emplace_back();
      g = &image->groups.back();
      g->first = a;
      g->last = b;
      g->blockUninit = line.find("BLOCK_UNINIT") != std::string::npos;
      continue;
    }
    if (!g || line.compare(0, 2, "  ") != 0) continue;
    std::string clause;
    if (clauseAfter(line, "superblock at ", &clause)) {
      g->hasSuper = true;
      addRangeBlocks(clause, &g->metadata);
    }
    if (clauseAfter(line, "Group descriptors at ", &clause) ||
        clauseAfter(line, "Group descriptor at ", &clause))
      addRangeBlocks(clause, &g->metadata);
    if (clauseAfter(line, "Reserved GDT blocks at ", &clause)) addRangeBlocks(clause, &g->metadata);
    if (sscanf(line.c_str(), "  Block bitmap at %lld", &a) == 1) g->blockBitmap = a;
    if (sscanf(line.c_str(), "  %lld free blocks,", &a) == 1 ||
        sscanf(line.c_str(), "  %lld free clusters,", &a) == 1)
      g->freeCount = a;
    if (line.compare(0, 15, "  Free blocks: ") == 0) {
      // Under bigalloc a range ends at the first block of its last free cluster.
      fsbmp_test::forEachRange(
          line.substr(15),
          [](void* p, long long first, long long last) {
            FreeCtx* c = static_cast<FreeCtx*>(p);
            last = (last / c->clusterBlocks + 1) * c->clusterBlocks - 1;
            for (long long x = first; x <= last && x < static_cast<long long>(c->used->size()); ++x)
              (*c->used)[static_cast<size_t>(x)] = false;
          },
          &ctx);
    }
  }
  return !image->groups.empty();
}

void readDumpe2fs(fsbmp_test::OracleImage* image) {
  std::string out;
  if (fsbmp_test::run("dumpe2fs '" + image->path + "' 2>/dev/null", &out) != 0 ||
      !parseDumpe2fs(out, static_cast<Ext2Image*>(image)))
    image->failure = "dumpe2fs output of " + image->path + " not understood";
}

const Ext2Image& ext2Image(const std::string& name) {
  return static_cast<const Ext2Image&>(fsbmp_test::oracleImage(name));
}

namespace {

const uint64_t kSbAt = 1024;

struct Sums {
  bool metadataCsum;
  bool gdtCsum;
  uint32_t descSize;
  uint32_t seed;
  std::vector<unsigned char> uuid;
};

Sums sumsOf(const std::string& path) {
  const std::vector<unsigned char> sb = fsbmp_test::readAt(path, kSbAt, 1024);
  const uint32_t incompat = fsbmp_test::getLE32(sb, 96);
  const uint32_t roCompat = fsbmp_test::getLE32(sb, 100);
  Sums s;
  s.metadataCsum = (roCompat & 0x400) != 0;
  s.gdtCsum = !s.metadataCsum && (roCompat & 0x10) != 0;
  s.descSize = (incompat & 0x80) ? static_cast<uint32_t>(sb[254] | sb[255] << 8) : 32;
  s.uuid.assign(sb.begin() + 104, sb.begin() + 120);
  s.seed = (incompat & 0x2000) ? fsbmp_test::getLE32(sb, 624)
                               : fsbmp_test::crc32cBits(0xFFFFFFFFu, s.uuid.data(), 16);
  return s;
}

}  // namespace

void resealSuperblock(const std::string& path) {
  std::vector<unsigned char> sb = fsbmp_test::readAt(path, kSbAt, 1024);
  if ((fsbmp_test::getLE32(sb, 100) & 0x400) == 0) return;
  std::vector<unsigned char> sum(4);
  fsbmp_test::putLE32(&sum, 0, fsbmp_test::crc32cBits(0xFFFFFFFFu, sb.data(), 1020));
  fsbmp_test::patchFile(path, kSbAt + 1020, sum);
}

void resealDescriptor(const std::string& path, long long at, uint32_t group) {
  const Sums s = sumsOf(path);
  if (!s.metadataCsum && !s.gdtCsum) return;
  std::vector<unsigned char> d = fsbmp_test::readAt(path, static_cast<uint64_t>(at), s.descSize);
  d[0x1E] = d[0x1F] = 0;
  std::vector<unsigned char> le(4);
  fsbmp_test::putLE32(&le, 0, group);
  uint16_t sum;
  if (s.metadataCsum) {
    uint32_t crc = fsbmp_test::crc32cBits(s.seed, le.data(), 4);
    sum = static_cast<uint16_t>(fsbmp_test::crc32cBits(crc, d.data(), d.size()) & 0xFFFF);
  } else {
    uint16_t crc = fsbmp_test::crc16Bits(0xFFFF, s.uuid.data(), 16);
    crc = fsbmp_test::crc16Bits(crc, le.data(), 4);
    crc = fsbmp_test::crc16Bits(crc, d.data(), 0x1E);
    sum = fsbmp_test::crc16Bits(crc, d.data() + 0x20, d.size() - 0x20);
  }
  fsbmp_test::patchFile(path, static_cast<uint64_t>(at) + 0x1E,
                        {static_cast<unsigned char>(sum), static_cast<unsigned char>(sum >> 8)});
}

void resealBlockBitmap(const std::string& path, long long at, long long bitmapAt, size_t bytes) {
  const Sums s = sumsOf(path);
  if (!s.metadataCsum) return;
  const std::vector<unsigned char> bits =
      fsbmp_test::readAt(path, static_cast<uint64_t>(bitmapAt), bytes);
  const uint32_t sum = fsbmp_test::crc32cBits(s.seed, bits.data(), bits.size());
  std::vector<unsigned char> half(2);
  fsbmp_test::putLE16(&half, 0, static_cast<uint16_t>(sum));
  fsbmp_test::patchFile(path, static_cast<uint64_t>(at) + 0x18, half);
  if (s.descSize < 0x3A) return;
  fsbmp_test::putLE16(&half, 0, static_cast<uint16_t>(sum >> 16));
  fsbmp_test::patchFile(path, static_cast<uint64_t>(at) + 0x38, half);
}

}  // namespace ext2_test
