// XFS: what the walk will read next, hinted to the kernel (willReadBlocks) so that on a cold cache
// many reads are in flight at once while the walk reads one block at a time: every AG's headers
// at the probe, every AG's tree root, and the leaves from the node above them. Each window is
// left out when its farthest block is in the page cache already, where hints would only cost a
// look-up each. Kept apart from the walk so that its record loop compiles as it did.
#include <cstdint>
#include <new>

#include "core/coding.h"
#include "core/read_ahead.h"
#include "fsbmp/fsbmpXFS.h"
#include "xfs/fsbmpXFSImpl.h"
#include "xfs/fsbmpXFSLayout.h"

using namespace fsbmp::xfs;

namespace {

// AGs whose headers (at the probe) and tree roots (in the walk) are hinted ahead of the one
// being read, renewed once half of them are read: a bounded window however many AGs the
// superblock counts.
const uint32_t kAheadAgs = 512;

}  // namespace

void FsParserXFS::Impl::hintAgHeaders(uint32_t from, uint32_t* hinted) {
  uint32_t first = 0, until = 0;
  if (!fsbmp::aheadWindow(from, fs.agCount, kAheadAgs, hinted, &first, &until)) return;
  // The superblock copy and the AGF: the AG's first two sectors.
  const long long agSectors = static_cast<long long>(fs.agBlocks) * fs.blockSize / sectorBytes;
  if (fs.blocksCached(sectorBytes, (until - 1) * agSectors + 1)) return;
  for (uint32_t ag = first; ag < until; ++ag) fs.willReadBlocks(sectorBytes, ag * agSectors, 2);
}

void FsParserXFS::Impl::hintRoots(uint32_t from, uint32_t* hinted) {
  uint32_t first = 0, until = 0;
  if (!fsbmp::aheadWindow(from, fs.agCount, kAheadAgs, hinted, &first, &until)) return;
  auto rootOf = [&](uint32_t ag) {
    return static_cast<long long>(ag) * fs.agBlocks + fs.agRoots[ag];
  };
  if (fs.agRoots[until - 1] < fs.agLengths[until - 1] &&
      fs.blocksCached(fs.blockSize, rootOf(until - 1)))
    return;
  for (uint32_t ag = first; ag < until; ++ag)
    if (fs.agRoots[ag] < fs.agLengths[ag]) fs.willReadBlocks(fs.blockSize, rootOf(ag), 1);
}

bool FsParserXFS::Impl::hintChildren(const unsigned char* node, uint32_t keys, uint32_t from,
                                     long long agStart, uint32_t limit) {
  // The child pointers follow all the key slots; those outside the AG are not hinted (the
  // descent refuses the one it takes), and children in consecutive blocks make one hint.
  const int header = treeHeaderSize();
  const uint32_t maxKeys =
      static_cast<uint32_t>(fs.blockSize - header) / (kRecordSize + kPointerSize);
  const unsigned char* pointers = node + header + maxKeys * kRecordSize;
  // A warm cache that holds the last child holds the others as a rule: no hints then.
  uint32_t last = keys;
  while (last > from && fsbmp::decodeBE32(pointers + (last - 1) * kPointerSize) >= limit) --last;
  if (last == from ||
      fs.blocksCached(fs.blockSize,
                      agStart + fsbmp::decodeBE32(pointers + (last - 1) * kPointerSize)))
    return false;
  fsbmp::RunHints runs(&fs, fs.blockSize);
  for (uint32_t i = from; i < last; ++i) {
    const uint32_t child = fsbmp::decodeBE32(pointers + i * kPointerSize);
    if (child < limit) runs.add(static_cast<uint64_t>(agStart) + child);
  }
  return true;
}

void FsParserXFS::Impl::hintLeavesBelow(const unsigned char* node, uint32_t keys, uint32_t from,
                                        long long agStart, uint32_t limit) {
  leavesAhead = keys - from - 1;
  nextParent = kNoSibling;
  // On a cold cache the node to the right comes next, and its children after it; a warm one
  // needs neither its read nor their hints.
  if (!hintChildren(node, keys, from, agStart, limit)) return;
  nextParent = fsbmp::decodeBE32(node + kOffTreeRightSibling);
  if (nextParent < limit) fs.willReadBlocks(fs.blockSize, agStart + nextParent, 1);
}

void FsParserXFS::Impl::hintNextLeaves(long long agStart, uint32_t limit) {
  if (leavesAhead > 0) {
    --leavesAhead;
    return;
  }
  // The leaf about to be read lies under the next node of the level above (its first child, in
  // a sound tree): that node is read for its children. Only hints come of it, so whatever is
  // wrong with it just ends the hints; the walk's own reads and checks are as before.
  const uint32_t parent = nextParent;
  nextParent = kNoSibling;
  if (parent >= limit) return;
  if (!parentBuf) parentBuf.reset(new (std::nothrow) unsigned char[fs.blockSize]);
  if (!parentBuf || fs.readBlocks(parentBuf.get(), fs.blockSize, agStart + parent, 1).code < 0)
    return;
  const unsigned char* node = parentBuf.get();
  const uint32_t maxKeys =
      static_cast<uint32_t>(fs.blockSize - treeHeaderSize()) / (kRecordSize + kPointerSize);
  const uint32_t keys = fsbmp::decodeBE16(node + kOffTreeRecords);
  if (fsbmp::decodeBE32(node + kOffTreeMagic) != treeMagic() ||
      fsbmp::decodeBE16(node + kOffTreeLevel) != 1 || keys == 0 || keys > maxKeys)
    return;
  hintLeavesBelow(node, keys, 0, agStart, limit);
}

// The walk's two reads of a leaf, each after its hints: out of the walk's own function, so that
// its record loop compiles as it did without them.
CVoError FsParserXFS::Impl::firstLeaf(uint32_t ag) {
  hintRoots(ag, &rootsHinted);
  return fs.findLeaf(0, static_cast<long long>(ag) * fs.agBlocks, fs.agRoots[ag]);
}

CVoError FsParserXFS::Impl::nextLeaf(const JxCodeLocation& where, long long agStart,
                                     uint32_t agLength, uint32_t sibling) {
  hintNextLeaves(agStart, agLength);
  return readTreeBlock(where, agStart + sibling);
}
