#include "fsbmp/services/buffer.h"

#include <cstddef>
#include <new>

MbBuffer::MbBuffer(int32_t bytes)
    : data(new unsigned char[bytes > 0 ? static_cast<size_t>(bytes) : 1]()), size(bytes) {}

MbBuffer::~MbBuffer() {
  delete[] data;
}
