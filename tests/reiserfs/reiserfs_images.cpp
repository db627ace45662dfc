#include "reiserfs_images.h"

#include <cstdio>
#include <cstdlib>

#include "common/testutil.h"

using namespace fsbmp_test;

namespace reiserfs_test {

namespace {

long long numberAfter(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  return at == std::string::npos ? 0 : atoll(text.c_str() + at + key.size());
}

}  // namespace

// "Count of blocks on the device: N", "Blocksize: N", then per bitmap block
// "#i: block N: Busy (a-b) Free(c-d) ...".
void readDebugreiserfs(OracleImage* image) {
  std::string out;
  if (run("debugreiserfs -m '" + image->path + "' 2>/dev/null", &out) != 0) {
    image->failure = "debugreiserfs -m failed on " + image->path;
    return;
  }
  image->blockSize = static_cast<int>(numberAfter(out, "Blocksize: "));
  image->blockCount = numberAfter(out, "Count of blocks on the device: ");
  image->used.assign(static_cast<size_t>(image->blockCount), false);
  for (size_t at = out.find("Busy"); at != std::string::npos; at = out.find("Busy", at + 4)) {
    long long a = 0, b = 0;
    size_t open = out.find('(', at);
    if (open == std::string::npos || sscanf(out.c_str() + open, "(%lld-%lld)", &a, &b) != 2)
      continue;
    for (long long x = a; x <= b && x < image->blockCount; ++x)
      image->used[static_cast<size_t>(x)] = true;
  }
}

void markUsed(const std::string& path, const std::vector<long long>& blocks) {
  std::vector<unsigned char> sb = readAt(path, kSuperblock, 80);
  uint32_t freeCount = getLE32(sb, 4);
  const int blockSize = sb[44] | sb[45] << 8;
  const long long bitsPerBitmap = blockSize * 8LL;
  for (long long b : blocks) {
    long long i = b / bitsPerBitmap;
    long long bitmapBlock = i == 0 ? 65536 / blockSize + 1 : i * bitsPerBitmap;
    uint64_t byteAt = static_cast<uint64_t>(bitmapBlock * blockSize + (b % bitsPerBitmap) / 8);
    unsigned char byte = readAt(path, byteAt, 1)[0];
    unsigned char bit = static_cast<unsigned char>(1u << (b % 8));
    if (!(byte & bit)) {
      patchFile(path, byteAt, {static_cast<unsigned char>(byte | bit)});
      --freeCount;
    }
  }
  putLE32(&sb, 4, freeCount);
  patchFile(path, kSuperblock, sb);
}

}  // namespace reiserfs_test
