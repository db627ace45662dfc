// ext2, ext3 and ext4: the checksums that tell a damaged superblock, descriptor or block bitmap
// from a good one. Under metadata_csum each is a crc32c seeded from the file system's UUID (or
// its own stored seed); under uninit_bg alone, descriptors carry a crc16 over the UUID instead.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/checksums.h"
#include "core/coding.h"
#include "ext2/crc16.h"
#include "ext2/fsbmpExt2Impl.h"
#include "ext2/fsbmpExt2Layout.h"
#include "fsbmp/fsbmpExt2.h"

using namespace fsbmp::ext2;

CVoError FsParserExt2::Impl::setUpChecksums(const JxCodeLocation& where, const unsigned char* sb) {
  const uint32_t incompat = fsbmp::decodeLE32(sb + kSbFeatureIncompat);
  const uint32_t roCompat = fsbmp::decodeLE32(sb + kSbFeatureRoCompat);
  fs.metadataCsum = (roCompat & kRoCompatMetadataCsum) != 0;
  fs.gdtCsum = !fs.metadataCsum && (roCompat & kRoCompatUninitBg) != 0;
  memcpy(fs.uuid, sb + kSbUuid, sizeof fs.uuid);
  fs.csumSeed = 0;
  if (!fs.metadataCsum) return CVoError();

  const uint8_t type = sb[kSbChecksumType];
  if (type != kChecksumTypeCrc32c) {
    return JxErrorUtil::ErrorErrNo(FSBMP_AT(where), ENOSYS,
                                   "Superblock of %s names checksum type %u, which is not crc32c",
                                   fs.devPath.c_str(), type);
  }
  uint32_t computed = 0xFFFFFFFF;
  mb_crc32c(sb, kSbChecksum, &computed);
  const uint32_t stored = fsbmp::decodeLE32(sb + kSbChecksum);
  if (computed != stored && fsbmp::kChecksumsRefuse) {
    return JxErrorUtil::ErrorErrNo(
        FSBMP_AT(where), ENOSYS,
        "Superblock of %s fails its checksum (stored 0x%08x, computed 0x%08x)", fs.devPath.c_str(),
        stored, computed);
  }
  if (incompat & kIncompatCsumSeed) {
    fs.csumSeed = fsbmp::decodeLE32(sb + kSbChecksumSeed);
  } else {
    fs.csumSeed = 0xFFFFFFFF;
    mb_crc32c(fs.uuid, sizeof fs.uuid, &fs.csumSeed);
  }
  return CVoError();
}

CVoError FsParserExt2::Impl::verifyDescCsum(const JxCodeLocation& where, uint32_t group,
                                            const unsigned char* raw) {
  if (!fs.metadataCsum && !fs.gdtCsum) return CVoError();
  unsigned char groupLE[4];
  fsbmp::encodeLE32(groupLE, group);
  const unsigned char noChecksum[2] = {0, 0};
  const uint32_t rest = kDescChecksum + sizeof noChecksum;
  uint16_t computed;
  if (fs.metadataCsum) {
    uint32_t crc = fs.csumSeed;
    mb_crc32c(groupLE, sizeof groupLE, &crc);
    mb_crc32c(raw, kDescChecksum, &crc);
    mb_crc32c(noChecksum, sizeof noChecksum, &crc);
    mb_crc32c(raw + rest, fs.groupDescSize - rest, &crc);
    computed = static_cast<uint16_t>(crc & 0xFFFF);
  } else {
    uint16_t crc = fsbmp::crc16(0xFFFF, fs.uuid, sizeof fs.uuid);
    crc = fsbmp::crc16(crc, groupLE, sizeof groupLE);
    crc = fsbmp::crc16(crc, raw, kDescChecksum);
    computed = fsbmp::crc16(crc, raw + rest, fs.groupDescSize - rest);
  }
  const uint16_t stored = fsbmp::decodeLE16(raw + kDescChecksum);
  if (computed != stored && fsbmp::kChecksumsRefuse) {
    return JxErrorUtil::ErrorErrNo(
        FSBMP_AT(where), ENOSYS,
        "Descriptor of block group %u of %s fails its checksum (stored 0x%04x, computed 0x%04x)",
        group, fs.devPath.c_str(), stored, computed);
  }
  return CVoError();
}

CVoError FsParserExt2::Impl::verifyBitmapCsum(const JxCodeLocation& where, uint32_t group,
                                              const ext4_group_desc_64& desc,
                                              const unsigned char* data) {
  if (!fs.metadataCsum) return CVoError();
  // The checksum covers the group's bits (clusters under bigalloc), not the block's padding.
  uint32_t computed = fs.csumSeed;
  mb_crc32c(data, fs.bitsPerGroup / 8, &computed);
  uint32_t stored = desc.bg_block_bitmap_csum_lo;
  if (fs.groupDescSize >= kDescBitmapCsumHiEnd) {
    stored |= static_cast<uint32_t>(desc.bg_block_bitmap_csum_hi) << 16;
  } else {
    computed &= 0xFFFF;
  }
  if (computed != stored && fsbmp::kChecksumsRefuse) {
    return JxErrorUtil::ErrorErrNo(
        FSBMP_AT(where), ENOSYS,
        "Block bitmap of block group %u of %s fails its checksum (stored 0x%08x, computed 0x%08x)",
        group, fs.devPath.c_str(), stored, computed);
  }
  return CVoError();
}
