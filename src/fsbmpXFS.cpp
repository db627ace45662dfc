#include "fsbmp/fsbmpXFS.h"

#include <cerrno>

static const char kFile[] = "fsbmpXFS";
#define HERE JX_LOCATION(kFile)

FsParserXFS::FsParserXFS(const std::string& dev, CVoError* err) : FsParser(dev) {
  fsType = kXFS;
  *err = init(devPath);
}

FsParserXFS::~FsParserXFS() {}

CVoError FsParserXFS::init(const std::string& dev) {
  return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "There is no XFS magic on %s", dev.c_str());
}

CVoError FsParserXFS::getBmp(int, void** bmp, long long* bmpSize) {
  *bmp = nullptr;
  *bmpSize = 0;
  return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "not supported");
}
