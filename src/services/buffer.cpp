#include "fsbmp/services/buffer.h"

#include <cstddef>
#include <new>

MbBuffer::MbBuffer(int32_t size)
    : data(new unsigned char[size > 0 ? static_cast<size_t>(size) : 1]()), size(size) {}

MbBuffer::~MbBuffer() {
  delete[] data;
}
