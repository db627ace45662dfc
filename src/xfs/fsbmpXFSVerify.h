// XFS: the state of the file scan that setVerify asks for.
#ifndef FSBMP_FSBMPXFSVERIFY_H
#define FSBMP_FSBMPXFSVERIFY_H

#include <cstdint>
#include <utility>
#include <vector>

#include "fsbmp/fsbmp.h"

namespace fsbmp {
namespace xfs {

struct VerifyState {
  bool on = false;
  // A getBmp may walk more than one view (the log replayed, then the device as it stands): only
  // its first walk records the report, the others only add to the map.
  bool recorded = false;
  FsParser::VerifyReport report;
  // The free extents of the walk that records, as the by-block trees list them: first block
  // counted from the device's start (AG number times AG blocks, plus the block in the AG), and
  // length; ascending.
  bool collect = false;
  std::vector<std::pair<uint64_t, uint64_t>> freeExtents;
};

}  // namespace xfs
}  // namespace fsbmp

#endif
