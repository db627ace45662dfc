// What the XFS parser keeps out of its installed header: the log's verdict and replay, the
// external log's device, the walk's read-ahead cursors, and the functions of the probe, the log
// check, the walk and its hints that use them. Each works on the parser it belongs to (`fs`):
// its geometry, its AG tables and nodeBuf, its reads.
#ifndef FSBMP_FSBMPXFSIMPL_H
#define FSBMP_FSBMPXFSIMPL_H

#include <cstdint>
#include <memory>
#include <string>

#include "fsbmp/fsbmpXFS.h"
#include "xfs/fsbmpXFSLogInode.h"
#include "xfs/fsbmpXFSVerify.h"

namespace fsbmp {
class MemoryOverlay;
}  // namespace fsbmp

// Hidden: none of it is the library's interface, though the parser it belongs to is exported.
struct __attribute__((visibility("hidden"))) FsParserXFS::Impl {
  explicit Impl(FsParserXFS& parser) : fs(parser) {}
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Bytes of the short-form tree-block header: 56 with CRCs, 16 without.
  int treeHeaderSize() const;
  // The magic a tree block must carry: "AB3B" with CRCs, "ABTB" without.
  uint32_t treeMagic() const;
  // The length of the AG that begins at device block `agStart`: what pointers into it must stay
  // below.
  uint32_t agLimit(long long agStart) const;

  // Reads the superblock copy and AGF of every AG (through the replay, once there is one).
  CVoError readAgHeaders(const JxCodeLocation& where);

  // Finds the state of the internal log and replays it when it needs recovery; refuses a log on
  // another device or one that can't be replayed. Errors name `where`.
  CVoError checkLog(const JxCodeLocation& where);
  // checkLog's verdict, found once.
  CVoError logOnce(const JxCodeLocation& where);
  // True when the replay rebuilt any of `bytes` bytes at `offset` and reads go through it: such
  // a block carries the checksum of its older contents.
  bool isReplayed(long long offset, int bytes) const;

  // The walk of the by-block trees.
  CVoError walkTrees(const JxCodeLocation& where, const ChunkLayout& layout, unsigned char* bitmap);
  // The scan of every file (setVerify), after the trees are walked: marks what the files and the
  // AGs' other trees use and, on the first walk of a getBmp, reports what the by-block trees
  // called free (src/xfs/fsbmpXFSVerify.cpp).
  // What replaying inodes needs of the superblock; null with the scan of the files off. Reads
  // the superblock (into `superblock`, kSuperRead bytes, when given) and refuses inode and AG
  // geometry that no XFS has.
  CVoError inodeShape(const JxCodeLocation& where, fsbmp::XfsInodeShape* shape,
                      unsigned char* superblock = nullptr);
  CVoError verifyFiles(const JxCodeLocation& where, const ChunkLayout& layout,
                       unsigned char* bitmap);
  // Reads device block `block` into nodeBuf and checks its magic and checksum, in that order;
  // errors carry the location `where` of the caller.
  CVoError readTreeBlock(const JxCodeLocation& where, long long block);
  // The walk's reads of a leaf, after their hints: the AG's first leaf (through findLeaf from its
  // root), and the right sibling `sibling` of the leaf in hand.
  CVoError firstLeaf(uint32_t ag);
  CVoError nextLeaf(const JxCodeLocation& where, long long agStart, uint32_t agLength,
                    uint32_t sibling);

  // Hint the superblock copies and AGFs (hintAgHeaders) or the tree roots (hintRoots) of the AGs
  // from *hinted (at least `from`) up to a window past `from`, once half of the window before is
  // read; *hinted becomes the first AG not hinted.
  void hintAgHeaders(uint32_t from, uint32_t* hinted);
  void hintRoots(uint32_t from, uint32_t* hinted);
  // Hints the children from slot `from` to `keys` of the tree node `node` in the AG that begins
  // at device block `agStart`, skipping those not below `limit`; false when the page cache holds
  // the last of them already and nothing was hinted.
  bool hintChildren(const unsigned char* node, uint32_t keys, uint32_t from, long long agStart,
                    uint32_t limit);
  // At the node above the leaves, whose child at slot `from` the walk reads first: hints the
  // children and keeps what hintNextLeaves needs (how many are left, the node to the right).
  void hintLeavesBelow(const unsigned char* node, uint32_t keys, uint32_t from, long long agStart,
                       uint32_t limit);
  // Before the walk reads the next leaf of the AG that begins at device block `agStart` (of
  // `limit` blocks): once the leaves hinted from the node above are used up, reads that node's
  // right sibling (a taller tree's next node above the leaves) and hints its children.
  void hintNextLeaves(long long agStart, uint32_t limit);

  FsParserXFS& fs;
  int sectorBytes = 0;
  unsigned char uuid[16] = {};
  // The log's verdict, found by the first getBmp and kept: the log is read once per parser.
  bool logChecked = false;
  CVoError logVerdict;
  std::shared_ptr<fsbmp::MemoryOverlay> replayed;  // the log's replay, when it needed one
  bool replayedInodes = false;  // and whether it holds the inodes, for a scan of the files
  // The external log's device, once named.
  std::unique_ptr<CVoFile> logDeviceFile;
  std::shared_ptr<fsbmp::DeviceView> logDevice;
  std::string logDevicePath;
  uint32_t rootsHinted = 0;  // the first AG whose root the walk has not hinted
  // Leaves hinted from the node above them that the walk has yet to reach, and the right sibling
  // of that node, whose children come next (none: 0xFFFFFFFF); a block for reading it.
  uint32_t leavesAhead = 0;
  uint32_t nextParent = 0xFFFFFFFF;
  std::unique_ptr<unsigned char[]> parentBuf;
  std::unique_ptr<fsbmp::xfs::VerifyState> verify;  // null until setVerify
};

#endif
