#include "fsbmp/fsbmpVxFS.h"

#include <cerrno>

static const char kFile[] = "fsbmpVxFS";
#define HERE JX_LOCATION(kFile)

FsParserVxFS::FsParserVxFS(const std::string& dev, CVoError* err) : FsParser(dev) {
  fsType = kVxFS;
  *err = init(devPath);
}

FsParserVxFS::~FsParserVxFS() {}

CVoError FsParserVxFS::init(const std::string& dev) {
  return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s doesn't have VxFS SB magic", dev.c_str());
}

CVoError FsParserVxFS::getBmp(int, void** bmp, long long* bmpSize) {
  *bmp = nullptr;
  *bmpSize = 0;
  return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "not supported");
}
