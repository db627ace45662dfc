// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78).
#ifndef FSBMP_SERVICES_CRC32C_H
#define FSBMP_SERVICES_CRC32C_H

#include <cstddef>
#include <cstdint>

#include "fsbmp/export.h"

// Advances the register `*crc` over `length` bytes. No inversion is applied: callers seed the
// register (0xFFFFFFFF for the standard CRC) and complement the result themselves.
FSBMP_API void mb_crc32c(const void* data, size_t length, uint32_t* crc);

#endif
