// The ext3/ext4 journal (JBD2) as the replay reads it: the journal superblock, the header every
// log block opens with, descriptor tags, revoke records and commit blocks, all big-endian on every
// host; and the records of the fast-commit area behind the log, little-endian like the rest of
// ext4.
#ifndef FSBMP_FSBMPEXT2JOURNALFORMAT_H
#define FSBMP_FSBMPEXT2JOURNALFORMAT_H

#include <cstddef>
#include <cstdint>

#include "core/coding.h"

namespace fsbmp {
namespace ext2 {

// The header of the journal superblock and of every log block: magic, block type, sequence.
const uint32_t kJournalMagic = 0xC03B3998u;
const int kOffHeaderType = 4;
const int kOffHeaderSequence = 8;
const int kHeaderSize = 12;

// Block types.
const uint32_t kBlockDescriptor = 1;
const uint32_t kBlockCommit = 2;
const uint32_t kSuperblockV1 = 3;
const uint32_t kSuperblockV2 = 4;
const uint32_t kBlockRevoke = 5;

// The journal superblock's fields.
const int kJsbBlockSize = 0x0C;
const int kJsbMaxLen = 0x10;
const int kJsbFirst = 0x14;
const int kJsbSequence = 0x18;
const int kJsbStart = 0x1C;
const int kJsbIncompat = 0x28;  // version 2 only
const int kJsbUuid = 0x30;      // 16 bytes
const int kJsbNumFcBlocks = 0x54;
const int kJsbChecksum = 0xFC;
const int kJsbSize = 1024;  // the bytes its checksum covers

// Incompatible features.
const uint32_t kJIncompatRevoke = 0x1;
const uint32_t kJIncompat64bit = 0x2;
const uint32_t kJIncompatAsyncCommit = 0x4;
const uint32_t kJIncompatCsumV2 = 0x8;
const uint32_t kJIncompatCsumV3 = 0x10;
const uint32_t kJIncompatFastCommit = 0x20;
const uint32_t kJIncompatKnown = kJIncompatRevoke | kJIncompat64bit | kJIncompatAsyncCommit |
                                 kJIncompatCsumV2 | kJIncompatCsumV3 | kJIncompatFastCommit;

// Fast-commit blocks at the journal's end when the superblock's count is 0.
const uint32_t kDefaultFcBlocks = 256;

// Under csum v2 and v3, descriptor and revoke blocks end in a 4-byte checksum of the block.
const size_t kBlockTailBytes = 4;

// Descriptor blocks: tags from kHeaderSize on, each followed by a 16-byte UUID unless it has
// kTagSameUuid. Each tag names where the next journal block of the transaction belongs.
const uint32_t kTagEscape = 1;  // the copy began with the journal magic, zeroed in the log
const uint32_t kTagSameUuid = 2;
const uint32_t kTagLast = 8;
const size_t kTagUuidBytes = 16;

struct JournalTag {
  uint64_t target;    // file-system block
  uint32_t flags;     // kTag*
  uint32_t checksum;  // of the copy: 32 bits under csum v3, 16 under v2
};

// Bytes of one tag: journal_block_tag3_t under csum v3; else journal_block_tag_t, with its 16-bit
// checksum under csum v2 and the high half of the block number under 64bit.
inline size_t journalTagBytes(bool csumV2, bool csumV3, bool wide) {
  return csumV3 ? 16 : (csumV2 ? 2 : 0) + (wide ? 12 : 8);
}

// The tag at `t`; the block number keeps its high half under 64bit only.
inline JournalTag decodeJournalTag(const unsigned char* t, bool csumV3, bool wide) {
  JournalTag tag;
  tag.target = decodeBE32(t);
  if (csumV3) {
    tag.flags = decodeBE32(t + 4);
    tag.target |= static_cast<uint64_t>(decodeBE32(t + 8)) << 32;
    tag.checksum = decodeBE32(t + 12);
  } else {
    tag.checksum = decodeBE16(t + 4);
    tag.flags = decodeBE16(t + 6);
    if (wide) tag.target |= static_cast<uint64_t>(decodeBE32(t + 8)) << 32;
  }
  if (!wide) tag.target &= 0xFFFFFFFFu;
  return tag;
}

// Revoke blocks: the bytes in use, header included, then block numbers of 4 bytes (8 under
// 64bit) from kRevokeHeader on.
const int kRevokeCount = 12;
const int kRevokeHeader = 16;

// Commit blocks: the checksum of the commit block itself (h_chksum[0]).
const int kCommitChecksum = 16;

// Fast-commit records (little-endian): tag, length of the value, value.
const int kOffFcLength = 2;
const size_t kFcRecordHeader = 4;
const uint16_t kFcTagAddRange = 1;
const uint16_t kFcTagDelRange = 2;
const uint16_t kFcTagCreate = 3;
const uint16_t kFcTagLink = 4;
const uint16_t kFcTagUnlink = 5;
const uint16_t kFcTagInode = 6;
const uint16_t kFcTagPad = 7;
const uint16_t kFcTagTail = 8;
const uint16_t kFcTagHead = 9;
// Values: an add-range record's inode number and ext4_extent; an inode record's inode number and
// raw inode; a head's features and the sequence number of the transaction it belongs to.
const int kFcAddRangeExtent = 4;
const size_t kFcAddRangeBytes = 16;
const int kFcInodeRaw = 4;
const int kFcHeadTid = 4;
const size_t kFcHeadBytes = 8;

}  // namespace ext2
}  // namespace fsbmp

#endif
