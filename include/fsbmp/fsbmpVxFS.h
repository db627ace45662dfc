// Placeholder until this file system's parser is built: it recognises nothing.
#ifndef FSBMP_FSBMPVXFS_H
#define FSBMP_FSBMPVXFS_H

#include <string>

#include "fsbmp/fsbmp.h"

class FSBMP_API FsParserVxFS : public FsParser {
 public:
  FsParserVxFS(const std::string& dev, CVoError* err);
  ~FsParserVxFS() override;

  CVoError init(const std::string& dev);
  CVoError getBmp(int chunkSize, void** bmp, long long* bmpSize) override;
};

#endif
