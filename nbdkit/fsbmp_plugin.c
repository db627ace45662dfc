/* nbdkit plugin "fsbmp": serves a block device or image read-only, with the chunks its file
 * system leaves free read as zeros and reported as holes, so that NBD clients which skip holes
 * (nbdcopy, qemu-img convert, backup tools) copy only the used space.
 *
 *   nbdkit fsbmp /dev/sdb1 [chunk-size=65536] [partition=N]
 *
 * The map is built once, before the server accepts connections; every read of a used chunk is a
 * pread on the device, so requests run in parallel. The device must not change while it is
 * served: a chunk that was free when the map was built reads as zeros even after a write there.
 */
#define NBDKIT_API_VERSION 2
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <nbdkit-plugin.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "fsbmp/fsbmp_c.h"

#define THREAD_MODEL NBDKIT_THREAD_MODEL_PARALLEL

/* Configuration. */
static char* device_path;
static uint64_t chunk_size = 65536;
static int partition = -1; /* -1: the whole device (an LVM PV on it is partition 0) */

/* What get_ready found: the served bytes are [origin, origin + size) of the device. */
static int device_fd = -1;
static uint64_t origin;
static uint64_t size;
static uint8_t* bitmap; /* bit c % 8 of byte c / 8: chunk c is used */
static uint64_t nchunks;
static char description[256];

static void nbd_unload(void) {
  if (device_fd >= 0) close(device_fd);
  fsbmp_free(bitmap);
  free(device_path);
}

static int nbd_config(const char* key, const char* value) {
  if (strcmp(key, "file") == 0) {
    free(device_path);
    /* Not nbdkit_realpath: a missing file is reported by the library, like any other device it
     * cannot map. */
    device_path = nbdkit_absolute_path(value);
    return device_path ? 0 : -1;
  }
  if (strcmp(key, "chunk-size") == 0) {
    int64_t n = nbdkit_parse_size(value);
    if (n == -1) return -1;
    if (n <= 0 || n > UINT32_MAX) {
      nbdkit_error("chunk-size=%s: must be between 1 and 4294967295 bytes", value);
      return -1;
    }
    chunk_size = (uint64_t)n;
    return 0;
  }
  if (strcmp(key, "partition") == 0) {
    if (nbdkit_parse_int("partition", value, &partition) == -1) return -1;
    if (partition < 0) {
      nbdkit_error("partition=%s: partition numbers are 0 or more", value);
      return -1;
    }
#ifndef FSBMP_HAVE_SOURCE_OFFSET
    nbdkit_error(
        "partition=%s: this build of the plugin cannot serve a partition (its "
        "libfsbmp has no fsbmp_offset); serve the partition's own device instead",
        value);
    errno = ENOSYS;
    return -1;
#else
    return 0;
#endif
  }
  nbdkit_error("unknown parameter '%s'", key);
  return -1;
}

static int nbd_config_complete(void) {
  if (device_path == NULL) {
    nbdkit_error("the device to serve is missing: nbdkit fsbmp PATH (or file=PATH)");
    return -1;
  }
  return 0;
}

#define nbd_config_help                                                              \
  "[file=]<PATH>      (required) The block device or image to serve.\n"              \
  "chunk-size=<SIZE>  Granularity of the map (default 64K): a power of two,\n"       \
  "                   a multiple of the file system's block size.\n"                 \
  "partition=<N>      Serve partition N of the disk at PATH (as Linux numbers it;\n" \
  "                   0: an LVM physical volume on the whole device)."

/* Builds the map, measures the device and opens it for the reads. Any failure keeps nbdkit
 * from starting, with the library's message. */
static int nbd_get_ready(void) {
  fsbmp_source* s = NULL;
  fsbmp_error err;
  int rc = partition < 0 ? fsbmp_open(device_path, &s, &err)
                         : fsbmp_open_partition(device_path, partition, &s, &err);
  if (rc == 0) rc = fsbmp_bitmap(s, chunk_size, &bitmap, &nchunks, &err);
  if (rc != 0) {
    fsbmp_close(s);
    nbdkit_error("%s", err.message);
    return -1;
  }
  size = fsbmp_device_size(s);
#ifdef FSBMP_HAVE_SOURCE_OFFSET
  origin = fsbmp_offset(s);
#endif
  if (partition < 0)
    snprintf(description, sizeof description, "%s on %s", fsbmp_kind(s), device_path);
  else
    snprintf(description, sizeof description, "%s in partition %d of %s", fsbmp_kind(s), partition,
             device_path);
  nbdkit_debug("fsbmp: %s: %" PRIu64 " bytes from %" PRIu64 ", %" PRIu64 " chunks of %" PRIu64,
               description, size, origin, nchunks, chunk_size);
  fsbmp_close(s);

  device_fd = open(device_path, O_RDONLY | O_CLOEXEC);
  if (device_fd < 0) {
    nbdkit_error("open: %s: %m", device_path);
    return -1;
  }
  return 0;
}

/* One handle for every connection: all they share is the map and the descriptor. */
static int handle;

static void* nbd_open_connection(int readonly) {
  (void)readonly;
  return &handle;
}

static int64_t nbd_get_size(void* h) {
  (void)h;
  return (int64_t)size;
}

static int nbd_can_write(void* h) {
  (void)h;
  return 0;
}

/* Every connection sees the same map of the same bytes. */
static int nbd_can_multi_conn(void* h) {
  (void)h;
  return 1;
}

static int nbd_can_cache(void* h) {
  (void)h;
  return NBDKIT_CACHE_EMULATE;
}

static int nbd_block_size(void* h, uint32_t* minimum, uint32_t* preferred, uint32_t* maximum) {
  (void)h;
  *minimum = 1;
  *preferred = chunk_size < 4096 ? 4096 : chunk_size > 32u << 20 ? 32u << 20 : (uint32_t)chunk_size;
  *maximum = 0xffffffff;
  return 0;
}

static const char* nbd_export_description(void* h) {
  (void)h;
  return description;
}

/* Chunks past the map's end (none, unless the device grew) count as used: reading them loses
 * nothing. */
static bool chunk_used(uint64_t c) {
  return c >= nchunks || ((bitmap[c >> 3] >> (c & 7)) & 1);
}

/* The first chunk from c, before limit, whose state differs from c's; limit if none. Whole bytes
 * of the same state are passed over at once. */
static uint64_t run_end(uint64_t c, uint64_t limit) {
  if (c >= nchunks) return limit;
  const bool used = chunk_used(c);
  const uint8_t same = used ? 0xff : 0x00;
  for (++c; c < limit;) {
    if (c >= nchunks) return used ? limit : c;
    if ((c & 7) == 0 && c + 8 <= nchunks && bitmap[c >> 3] == same) {
      c += 8;
      continue;
    }
    if (chunk_used(c) != used) return c;
    ++c;
  }
  return limit;
}

static int read_device(uint8_t* buf, uint64_t count, uint64_t offset) {
  while (count > 0) {
    ssize_t n = pread(device_fd, buf, count, (off_t)(origin + offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      nbdkit_error("pread: %s at byte %" PRIu64 ": %m", device_path, origin + offset);
      return -1;
    }
    if (n == 0) {
      nbdkit_error("pread: %s: the device ends before byte %" PRIu64, device_path, origin + offset);
      errno = EIO;
      return -1;
    }
    buf += n;
    offset += (uint64_t)n;
    count -= (uint64_t)n;
  }
  return 0;
}

/* Used chunks are read from the device; free ones are zeros, whatever the device holds there. */
static int nbd_pread(void* h, void* buf, uint32_t count, uint64_t offset, uint32_t flags) {
  (void)h;
  (void)flags;
  uint8_t* out = buf;
  const uint64_t end = offset + count;
  while (offset < end) {
    const uint64_t c = offset / chunk_size;
    uint64_t next = run_end(c, (end - 1) / chunk_size + 1) * chunk_size;
    if (next > end) next = end;
    if (chunk_used(c)) {
      if (read_device(out, next - offset, offset) == -1) return -1;
    } else {
      memset(out, 0, next - offset);
    }
    out += next - offset;
    offset = next;
  }
  return 0;
}

/* Free chunks are holes that read as zeros, used ones data; runs of one state are one extent.
 * The answer covers the request, clipped to the device. */
static int nbd_extents(void* h, uint32_t count, uint64_t offset, uint32_t flags,
                       struct nbdkit_extents* extents) {
  (void)h;
  const uint64_t end = offset + count > size ? size : offset + count;
  while (offset < end) {
    const uint64_t c = offset / chunk_size;
    uint64_t next = run_end(c, (end - 1) / chunk_size + 1) * chunk_size;
    if (next > end) next = end;
    const uint32_t type = chunk_used(c) ? 0 : NBDKIT_EXTENT_HOLE | NBDKIT_EXTENT_ZERO;
    if (nbdkit_add_extent(extents, offset, next - offset, type) == -1) return -1;
    if (flags & NBDKIT_FLAG_REQ_ONE) break;
    offset = next;
  }
  return 0;
}

static struct nbdkit_plugin plugin = {
    .name = "fsbmp",
    .longname = "nbdkit fsbmp plugin",
    .version = FSBMP_PLUGIN_VERSION,
    .description = "Serves a device read-only with the space its file system leaves free as holes",
    .magic_config_key = "file",
    .unload = nbd_unload,
    .config = nbd_config,
    .config_complete = nbd_config_complete,
    .config_help = nbd_config_help,
    .get_ready = nbd_get_ready,
    .open = nbd_open_connection,
    .get_size = nbd_get_size,
    .can_write = nbd_can_write,
    .can_multi_conn = nbd_can_multi_conn,
    .can_cache = nbd_can_cache,
    .block_size = nbd_block_size,
    .export_description = nbd_export_description,
    .pread = nbd_pread,
    .extents = nbd_extents,
    .errno_is_preserved = 1,
};

NBDKIT_REGISTER_PLUGIN(plugin)
