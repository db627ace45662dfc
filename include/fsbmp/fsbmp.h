// fsbmp: which chunks of a block device hold file-system data.
//
//   CVoError err;
//   std::unique_ptr<FsParser> p(FsParser::init("/dev/sdb1", &err));
//   if (!p) { fprintf(stderr, "%s", err.toString().c_str()); ... }
//   void* bmp; long long nChunks;
//   err = p->getBmp(65536, &bmp, &nChunks);   // bit c set: chunk c holds used blocks
//   ...
//   free(bmp);
#ifndef FSBMP_FSBMP_H
#define FSBMP_FSBMP_H

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fsbmp/export.h"
#include "fsbmp/services.h"

namespace fsbmp {
class DeviceView;  // what readBlocks reads through; internal to the library
}

// The parser base: device, geometry, raw block reads and the probing factory.
//
// Every parser reads its device through a view (the device as it stands, or a partition or
// logical volume of a disk, handed over by the library's disk layer) and builds its bitmap in
// buildBitmap: the chunk-size checks, the chunk count and the allocation are the base's, and
// a file system supplies only its probe (its constructor's init) and its walk (walkBitmap).
class FSBMP_API FsParser {
 public:
  // File-system kinds stored in fsType.
  enum { kExt2 = 0, kReiserFS = 1, kXFS = 2, kVxFS = 3, kBtrfs = 4 };

  // A parser of the device or image at `dev`, read as it stands.
  explicit FsParser(const std::string& dev);
  // A parser that reads through `view` (a partition or a logical volume); `dev` names it in
  // messages. A null view is the device at `dev` as it stands.
  FsParser(const std::string& dev, std::shared_ptr<fsbmp::DeviceView> view);
  virtual ~FsParser();
  FsParser(const FsParser&) = delete;
  FsParser& operator=(const FsParser&) = delete;

  // Builds a bitmap of one bit per chunkSize bytes of the device, counted from its byte 0.
  //  - Chunk c is bit c % 8 (least significant first) of byte c / 8; a set bit means the chunk
  //    holds at least one block that the file system uses (or, where the file system cannot
  //    tell, might use).
  //  - On success *bmp is a buffer of at least ceil(*bmpSize / 8) bytes from calloc, which the
  //    caller frees with free(), and *bmpSize the number of chunks (not bytes): enough for every
  //    block of the file system and every byte of the device, whichever needs more.
  //  - Bits past the last chunk carry no meaning and callers must ignore them: the XFS parser
  //    sets them, the others leave them clear or set them from the last group's bitmap.
  //  - On failure the ext2/3/4, ReiserFS and XFS parsers leave null and 0 in the outputs; the
  //    VxFS parser leaves them as they were. No buffer is left behind either way.
  //  - chunkSize must be a power of two and a multiple of blockSize (errno 22 otherwise).
  virtual CVoError getBmp(int chunkSize, void** bmp, long long* bmpSize) = 0;

  // Names the device that holds the file system's journal (ext3/4) or log (XFS) when the
  // superblock puts it on another device; call it before the first getBmp. A file system that
  // needs recovery is then mapped as the replay from there will leave it. errno 22 where the
  // file system keeps no journal on another device; 38 where `path` is not its journal.
  virtual CVoError setJournalDevice(const std::string& path);

  // Names another device of a file system that spans several (btrfs), whose copies of the
  // metadata the walk may read where this device holds none; call it before the first getBmp.
  // errno 22 where the file system keeps nothing on other devices or `path` is not one of them.
  virtual CVoError addMember(const std::string& path);

  // Verification: the allocation maps are trusted once their checksums and counts agree, but a
  // map can be wrong and still agree with its count (two bits flipped opposite ways, a bad
  // repair). With verify on, each getBmp also reads every file the file system holds (its inodes,
  // block maps or extent trees, indirect and index blocks, extended-attribute blocks) and marks
  // what they use in addition to the maps, as a checker's first pass does; what the maps call
  // free is reported. Costs a read of the inode tables. Call it before getBmp; errno 22 for a
  // file system that can't be verified this way (ext2/3/4 and XFS can; ReiserFS and VxFS not yet).
  virtual CVoError setVerify(bool on);

  // A run of blocks that a file uses and the maps call free.
  struct VerifyRun {
    uint64_t block;  // first block, in file-system blocks
    uint64_t count;
    uint64_t inode;  // the file that names them
  };
  // What the last getBmp's scan found.
  struct VerifyReport {
    bool ran = false;               // the last getBmp scanned the files and succeeded
    uint64_t inodesScanned = 0;     // inodes in use that were read
    uint64_t blocksFreeInMaps = 0;  // blocks that files use and the maps call free
    std::vector<VerifyRun> first;   // the first runs of them, in scan order, at most kRunsKept
    static const size_t kRunsKept = 8;
  };
  // The report of the last getBmp; ran is false without setVerify(true), or when getBmp failed.
  virtual VerifyReport verifyReport() const;

  // Measures the device: devSize becomes its length in bytes (for a partition or a volume, the
  // view's length).
  CVoError init();
  // Reads `count` blocks of `blockBytes` bytes starting at block `block` into `buf`: the block
  // size is the caller's, since probes read before they know the file system's. Blocks past the
  // end of the device (or of the view) fail with errno 28.
  CVoError readBlocks(void* buf, int blockBytes, long long block, int count);
  // Says that `count` blocks from `block` will be read soon, so that the kernel may start
  // reading them in the background, several requests at once, while the caller's thread works
  // on what it has. A hint only: nothing is read into the caller's memory and nothing fails.
  void willReadBlocks(int blockBytes, long long block, long long count);
  // True when block `block` (of `blockBytes` bytes) is in the page cache already: a walk then
  // leaves out the hints for it and what it would read with it, which would cost a look-up each
  // on a warm cache. False when it is not, or the device can't tell.
  bool blocksCached(int blockBytes, long long block);
  // n for v = 2^n (n >= 1); 0 for v < 2; -1 for any other v.
  static int log2(long long v);
  // Tries VxFS, ext2/3/4, ReiserFS, XFS and btrfs in that order and returns the first parser that
  // recognises `dev`, or null with the last attempt's error in *err (err must not be null).
  static FsParser* init(const std::string& dev, CVoError* err);
  // One file system's refusal of a device.
  struct Refusal {
    int fsType;      // kExt2, ...
    CVoError error;  // why its probe refused the device
  };
  // The same, and, when `refusals` is not null, each file system's refusal in the order they were
  // tried: none when the device is refused before any is tried (a partition table) or the first
  // one recognises it.
  static FsParser* init(const std::string& dev, CVoError* err, std::vector<Refusal>* refusals);
  // The name of a file-system kind for people ("ext2/3/4", "ReiserFS", "XFS", "VxFS", "btrfs"), or
  // "unknown".
  static const char* typeName(int fsType);

  // The state of the file system's journal or log, for people: "clean", "needs recovery: ...",
  // "on another device", ...; "" where the file system keeps none.
  virtual std::string journalState();

  // What the file system says of itself beyond the geometry, for people, in order (btrfs: label,
  // ids, profiles, checksum, ...); none for most file systems. A numeric value keeps its number.
  struct Property {
    std::string key;    // short, lower case, words joined by '_': "label", "csum_type", ...
    std::string value;  // as text
    bool numeric = false;
    long long number = 0;
    // A numeric property: its number, and the same as text.
    static Property ofNumber(const std::string& key, long long n) {
      Property p;
      p.key = key;
      p.value = std::to_string(n);
      p.numeric = true;
      p.number = n;
      return p;
    }
  };
  virtual std::vector<Property> properties();

  int fsType;
  int blockSize;
  long long blockCount;
  long long devSize;
  long long fsSize;
  std::string devPath;
  CVoFile devFile;
  PdDebug debug;
  unsigned char onesInByte[256];
  unsigned char zerosInByte[256];
  // Why the file system's journal can't be replayed (ext3/4, ReiserFS): the probe still accepts
  // the file system, and getBmp refuses with this.
  CVoError replayError;

 protected:
  // The chunk geometry of one getBmp call.
  struct ChunkLayout {
    int chunkSize;
    long long blocksPerChunk;
    int chunkShift;  // log2(blocksPerChunk)
    uint64_t nChunks;
  };
  // How a file system's getBmp treats its outputs and its chunk count.
  struct BitmapRules {
    bool resetOutputs;  // null and 0 go into the outputs first, so that failures leave them
    bool count32;       // chunk counts are 32-bit: refuse a chunk size that needs more chunks
  };

  // What every getBmp does around its file system's walk: checks the chunk size, counts the
  // chunks, allocates a zeroed bitmap of bitmapBytes() bytes, runs walkBitmap and hands the
  // bitmap over on success or frees it on failure. Errors name `where`, the parser's getBmp.
  CVoError buildBitmap(const JxCodeLocation& where, const BitmapRules& rules, int chunkSize,
                       void** bmp, long long* bmpSize);
  // The file system's part: marks the chunks that hold used blocks in `bitmap`, which is
  // bitmapBytes(layout) bytes long and starts all zero. Errors name `where`.
  virtual CVoError walkBitmap(const JxCodeLocation& where, const ChunkLayout& layout,
                              unsigned char* bitmap) = 0;
  // The bitmap's size in bytes: ceil(nChunks / 8), or more for a walk that marks bits past the
  // last chunk.
  virtual uint64_t bitmapBytes(const ChunkLayout& layout) const;

  // The probe's first step: opens the device at `dev` for reading, unless the parser was given
  // a view to read through. Failure is pushed with "Couldn't open %s for reading" at `where`.
  CVoError openDevice(const JxCodeLocation& where, const std::string& dev);
  // The walk of a file system whose journal the probe replayed in memory: refuses with
  // replayError if there is one; runs `walk` over the replayed view (and over alsoReplayed, if
  // set), then, only adding, over the device as it stands, so that a block used before or after
  // the replay counts as used.
  CVoError walkReplayed(const JxCodeLocation& where, const std::function<CVoError()>& walk);

  // What readBlocks reads through: devFile as it stands unless a view was given, and, once a
  // probe has replayed a journal, an overlay over that.
  std::shared_ptr<fsbmp::DeviceView> view;
  // The device (or given view) as it stands, under any overlay.
  std::shared_ptr<fsbmp::DeviceView> onDisk;
  // A second replay of the same journal whose map counts too, or null: where recoveries end
  // the log at different places (a commit block whose checksum fails), each is mapped.
  std::shared_ptr<fsbmp::DeviceView> alsoReplayed;
};

// Owns a chunk bitmap while getBmp builds it; frees it unless released to the caller.
class FsParserAutoChunkBmp {
 public:
  FsParserAutoChunkBmp() : bitmap(nullptr) {}
  ~FsParserAutoChunkBmp() { free(bitmap); }
  FsParserAutoChunkBmp(const FsParserAutoChunkBmp&) = delete;
  FsParserAutoChunkBmp& operator=(const FsParserAutoChunkBmp&) = delete;

  CVoError init(size_t bytes) {
    free(bitmap);
    bitmap = static_cast<unsigned char*>(calloc(bytes, 1));
    if (!bitmap) return JxErrorUtil::ErrorErrNo(JX_LOCATION("fsbmp.h"), ENOMEM);
    return CVoError();
  }
  unsigned char* release() {
    unsigned char* b = bitmap;
    bitmap = nullptr;
    return b;
  }

  unsigned char* bitmap;
};

#endif
