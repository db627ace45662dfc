// Placeholder until this file system's parser is built: it recognises nothing.
#ifndef FSBMP_FSBMPEXT2_H
#define FSBMP_FSBMPEXT2_H

#include <string>

#include "fsbmp/fsbmp.h"

class FSBMP_API FsParserExt2 : public FsParser {
 public:
  FsParserExt2(const std::string& dev, CVoError* err);
  ~FsParserExt2() override;

  CVoError init(const std::string& dev);
  CVoError getBmp(int chunkSize, void** bmp, long long* bmpSize) override;
};

#endif
