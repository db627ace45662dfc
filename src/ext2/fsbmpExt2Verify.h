// ext2, ext3 and ext4: the state of the file scan that setVerify asks for.
#ifndef FSBMP_FSBMPEXT2VERIFY_H
#define FSBMP_FSBMPEXT2VERIFY_H

#include "fsbmp/fsbmp.h"

namespace fsbmp {
namespace ext2 {

struct VerifyState {
  bool on = false;
  // A getBmp may walk more than one view (the journal replayed, then the device as it stands):
  // only its first walk records the report, the others only add to the map.
  bool recorded = false;
  FsParser::VerifyReport report;
};

}  // namespace ext2
}  // namespace fsbmp

#endif
