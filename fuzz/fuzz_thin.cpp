// A thin pool's metadata reader on bytes that stand for its _tmeta volume: the superblock, the
// device-details and mapping B-trees, then reads of each thin device through a ThinView over a
// data volume of the size the metadata gives. The volume is the input rounded up to whole 4 KiB
// blocks, zeros after it. Seeds (make-disk-seeds.sh): metadata made by thin_restore.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "disk/lvm_thin.h"
#include "disk/thin_metadata.h"
#include "memory_view.h"
#include "promises.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int64_t block = fsbmp::kThinMetadataBlock;
  const int64_t length =
      std::max<int64_t>(block, (static_cast<int64_t>(size) + block - 1) / block * block);
  fsbmp_fuzz::MemoryView meta(data, size, length, true);
  fsbmp::ThinMetadata md;
  CVoError err = fsbmp::readThinMetadata(&meta, length, &md);
  fsbmp_fuzz::check(err.code >= 0 || !err.message().empty(), "metadata refused without a reason");
  if (err.code < 0) return 0;
  const int64_t blockBytes = static_cast<int64_t>(md.dataBlockSectors) * 512;
  auto pool = std::make_shared<fsbmp_fuzz::MemoryView>(
      nullptr, 0, static_cast<int64_t>(md.dataBlocks) * blockBytes, true);
  for (const fsbmp::ThinDevice& d : md.devices) {
    uint64_t next = 0;
    for (const fsbmp::ThinRun& r : d.runs) {
      fsbmp_fuzz::check(r.count > 0 && r.thinBlock >= next, "thin runs not ascending");
      fsbmp_fuzz::check(r.dataBlock + r.count <= md.dataBlocks, "a run past the pool's data");
      next = r.thinBlock + r.count;
    }
    if (d.runs.empty()) continue;
    // The first mapped block and the one after it, through the volume's view.
    const int64_t at = static_cast<int64_t>(d.runs[0].thinBlock) * blockBytes;
    fsbmp::ThinView view(pool, &d, blockBytes, at + 2 * blockBytes);
    std::vector<unsigned char> buf(8192);
    uint32_t got = 0;
    err = view.readAt(at + blockBytes - 4096, buf.data(), 8192, &got);
    fsbmp_fuzz::check(err.code < 0 || got == 8192, "a short read inside a thin volume");
  }
  return 0;
}
