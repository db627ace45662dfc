// A heap block owned by an object. Allocation failure throws std::bad_alloc; callers keep sizes
// bounded by what the metadata they read can describe.
#ifndef FSBMP_SERVICES_BUFFER_H
#define FSBMP_SERVICES_BUFFER_H

#include <cstdint>

#include "fsbmp/export.h"

class FSBMP_API MbBuffer {
 public:
  explicit MbBuffer(int32_t size);
  ~MbBuffer();
  MbBuffer(const MbBuffer&) = delete;
  MbBuffer& operator=(const MbBuffer&) = delete;

  unsigned char* data;
  int32_t size;
};

#endif
