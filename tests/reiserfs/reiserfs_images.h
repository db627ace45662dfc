// ReiserFS images: what debugreiserfs says of them, and edits that give them other used blocks.
#ifndef FSBMP_TESTS_REISERFS_IMAGES_H
#define FSBMP_TESTS_REISERFS_IMAGES_H

#include <cstdint>
#include <string>
#include <vector>

#include "common/oracle.h"

namespace reiserfs_test {

const uint64_t kSuperblock = 65536;  // byte offset

// The oracle of ReiserFS: geometry and used blocks as debugreiserfs -m prints them.
void readDebugreiserfs(fsbmp_test::OracleImage* image);

// Marks blocks used in an image's bitmaps and lowers its superblock's free count to match:
// mkreiserfs leaves images nearly empty, and this kernel cannot mount them to fill them.
void markUsed(const std::string& path, const std::vector<long long>& blocks);

}  // namespace reiserfs_test

#endif
