#include "fsbmp/fsbmpExt2.h"

#include <cerrno>

static const char kFile[] = "fsbmpExt2";
#define HERE JX_LOCATION(kFile)

FsParserExt2::FsParserExt2(const std::string& dev, CVoError* err) : FsParser(dev) {
  fsType = kExt2;
  *err = init(devPath);
}

FsParserExt2::~FsParserExt2() {}

CVoError FsParserExt2::init(const std::string& dev) {
  return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s doesn't have ext2/3/4 SB magic", dev.c_str());
}

CVoError FsParserExt2::getBmp(int, void** bmp, long long* bmpSize) {
  *bmp = nullptr;
  *bmpSize = 0;
  return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "not supported");
}
