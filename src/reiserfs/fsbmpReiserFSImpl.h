// What the ReiserFS parser keeps out of its installed header: the functions of the journal's
// replay, the walk and the probe's read-ahead hints. Each works on the parser it belongs to
// (`fs`): its geometry, its journal's place, its reads.
#ifndef FSBMP_FSBMPREISERFSIMPL_H
#define FSBMP_FSBMPREISERFSIMPL_H

#include <cstdint>

#include "fsbmp/fsbmpReiserFS.h"

// Hidden: none of it is the library's interface, though the parser it belongs to is exported.
struct __attribute__((visibility("hidden"))) FsParserReiserFS::Impl {
  explicit Impl(FsParserReiserFS& parser) : fs(parser) {}
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Puts the journal's transactions that a mount or reiserfsck would replay in place, through
  // an overlay over the device. Errors name `where`.
  CVoError replayJournal(const JxCodeLocation& where);
  // The walk itself, over whichever view the parser reads through.
  CVoError walkMaps(const JxCodeLocation& where, const ChunkLayout& layout, unsigned char* bitmap);
  // Hints the bitmap blocks from *hinted (at least `from`) up to a window past `from` to the
  // kernel (willReadBlocks), none past those that cover block_count; *hinted becomes the first
  // bitmap not hinted. The probe's free-count check calls it.
  void hintBitmaps(uint32_t from, uint32_t* hinted);
  // Block number of bitmap block i.
  long long bitmapBlock(uint32_t i) const {
    return i == 0 ? fs.firstBitmapBlock : static_cast<long long>(i) * fs.bitsPerBitmap;
  }

  FsParserReiserFS& fs;
};

#endif
