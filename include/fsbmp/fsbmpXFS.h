// Placeholder until this file system's parser is built: it recognises nothing.
#ifndef FSBMP_FSBMPXFS_H
#define FSBMP_FSBMPXFS_H

#include <string>

#include "fsbmp/fsbmp.h"

class FSBMP_API FsParserXFS : public FsParser {
 public:
  FsParserXFS(const std::string& dev, CVoError* err);
  ~FsParserXFS() override;

  CVoError init(const std::string& dev);
  CVoError getBmp(int chunkSize, void** bmp, long long* bmpSize) override;
};

#endif
