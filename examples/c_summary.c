/* Opens a device through fsbmp's C interface and prints its used ranges and their total.
 *   c_summary DEVICE [CHUNK_BYTES]
 * Built with: cc -std=c99 c_summary.c $(pkg-config --cflags --libs fsbmp) */
#include <fsbmp/fsbmp_c.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>

static int print_range(void* ctx, uint64_t offset, uint64_t length) {
  *(uint64_t*)ctx += length;
  printf("%" PRIu64 " %" PRIu64 "\n", offset, length);
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: %s DEVICE [CHUNK_BYTES]\n", argv[0]);
    return 2;
  }
  const uint64_t chunk = argc == 3 ? strtoull(argv[2], NULL, 0) : 1 << 20;
  fsbmp_source* s;
  fsbmp_error err;
  if (fsbmp_open(argv[1], &s, &err) != 0) {
    fprintf(stderr, "%s: %s (errno %d)\n", argv[1], err.message, err.errnum);
    return 1;
  }
  printf("%s: %s, %" PRIu32 "-byte blocks, %" PRIu64 " bytes\n", argv[1], fsbmp_kind(s),
         fsbmp_block_size(s), fsbmp_device_size(s));
  uint64_t used = 0;
  int rc = fsbmp_used_ranges(s, chunk, print_range, &used, &err);
  if (rc == 0)
    printf("used: %" PRIu64 " bytes\n", used);
  else
    fprintf(stderr, "%s: %s\n", argv[1], err.message);
  fsbmp_close(s);
  return rc == 0 ? 0 : 1;
}
