/* The C interface's signatures as callers built against fsbmp_c.h 1.0 rely on them: compiled as
 * C99 with incompatible pointer types an error, so that a changed parameter or return type fails
 * the build (abi/fsbmp_c.symbols checks the names and versions the library exports). */
#include <stddef.h>

#include "fsbmp/fsbmp_c.h"

typedef int (*range_cb)(void* ctx, uint64_t offset, uint64_t length);

/* The error's layout: errnum first, then 1024 bytes of message (C99 has no _Static_assert). */
typedef char errnum_first[offsetof(fsbmp_error, errnum) == 0 ? 1 : -1];
typedef char message_after[offsetof(fsbmp_error, message) == sizeof(int) ? 1 : -1];
typedef char message_bytes[sizeof(((fsbmp_error*)0)->message) == 1024 ? 1 : -1];

int capi_signatures(void);
int capi_signatures(void) {
  int (*open_)(const char*, fsbmp_source**, fsbmp_error*) = fsbmp_open;
  int (*open_partition)(const char*, int, fsbmp_source**, fsbmp_error*) = fsbmp_open_partition;
  void (*close_)(fsbmp_source*) = fsbmp_close;
  const char* (*kind)(const fsbmp_source*) = fsbmp_kind;
  uint64_t (*device_size)(const fsbmp_source*) = fsbmp_device_size;
  uint64_t (*offset)(const fsbmp_source*) = fsbmp_offset;
  uint32_t (*block_size)(const fsbmp_source*) = fsbmp_block_size;
  int (*bitmap)(fsbmp_source*, uint64_t, uint8_t**, uint64_t*, fsbmp_error*) = fsbmp_bitmap;
  int (*used_ranges)(fsbmp_source*, uint64_t, range_cb, void*, fsbmp_error*) = fsbmp_used_ranges;
  int (*journal)(fsbmp_source*, const char*, fsbmp_error*) = fsbmp_set_journal_device;
  int (*open_layers)(const char*, const char* const*, const char* const*, fsbmp_source**,
                     fsbmp_error*) = fsbmp_open_layers;
  void (*free_)(void*) = fsbmp_free;
  return open_ && open_partition && close_ && kind && device_size && offset && block_size &&
         bitmap && used_ranges && journal && open_layers && free_;
}
