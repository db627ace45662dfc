/* fsbmp's C interface: which chunks of a block device hold file-system data, for programs in C
 * and for anything that can call C (ctypes, cffi, plugins).
 *
 *   fsbmp_source *s;
 *   fsbmp_error err;
 *   if (fsbmp_open("/dev/sdb1", &s, &err) != 0) {
 *     fprintf(stderr, "%s\n", err.message);
 *     ...
 *   }
 *   uint8_t *bits;
 *   uint64_t n;
 *   if (fsbmp_bitmap(s, 65536, &bits, &n, &err) == 0) {   bit c set: chunk c holds used blocks
 *     ...
 *     fsbmp_free(bits);
 *   }
 *   fsbmp_close(s);
 *
 * Every function that can fail returns 0 on success and -1 on failure, with *err (when err is
 * not NULL) holding an errno value and the library's whole message: ENOENT for a missing file,
 * EISDIR for a directory, ENOTBLK for anything else that is neither a block device nor a regular
 * file (/dev/null among them), EINVAL for an empty one or a chunk size the device can't take,
 * ENOSYS for a device nothing recognises or metadata too damaged to map, EIO for a failed read.
 * No C++ exception leaves the library. A source is used by one thread at a time; different sources
 * may be used by different threads at once. Symbols carry the version FSBMP_1.0.
 */
#ifndef FSBMP_FSBMP_C_H
#define FSBMP_FSBMP_C_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(FSBMP_BUILDING_LIBRARY)
#define FSBMP_C_API __attribute__((visibility("default")))
#else
#define FSBMP_C_API
#endif

/* A file system, or a whole disk (a device holding a partition table or an LVM2 PV), or one
 * partition of a disk taken as the device. */
typedef struct fsbmp_source fsbmp_source;

/* Why a call failed: an errno value and a message for people, NUL-terminated (cut at 1023
 * bytes). */
typedef struct fsbmp_error {
  int errnum;
  char message[1024];
} fsbmp_error;

/* Opens the device or image at `path` as the fsbmp tool does: the file system on it, or, when it
 * holds a partition table, the whole disk. On failure *out is NULL. */
FSBMP_C_API int fsbmp_open(const char* path, fsbmp_source** out, fsbmp_error* err);

/* Opens `path` as fsbmp_open does, naming what the layers on it need: `members`, the other
 * members of an md array that the device (or a partition of it) belongs to, or the other devices
 * of a btrfs file system; `decrypted`, the opened devices (/dev/mapper/NAME) that decrypt LUKS
 * containers on it. Each a NULL-terminated array of paths, or NULL; with both NULL it is
 * fsbmp_open. EINVAL for a decrypted device named beside a device that holds a file system, or
 * one whose size does not fit its container's data segment. Since FSBMP_1.1. */
FSBMP_C_API int fsbmp_open_layers(const char* path, const char* const* members,
                                  const char* const* decrypted, fsbmp_source** out,
                                  fsbmp_error* err);

/* Opens partition `number` of the disk at `path` (as Linux numbers them: MBR 1-4 and logical
 * partitions from 5, GPT entry + 1) as if it were the device: offsets count from the partition's
 * start, and its bitmap equals `fsbmp bitmap PATH -p NUMBER`. EINVAL when `path` is not a disk
 * or has no such partition. On failure *out is NULL. */
FSBMP_C_API int fsbmp_open_partition(const char* path, int number, fsbmp_source** out,
                                     fsbmp_error* err);

/* Releases a source and closes its device. NULL does nothing. */
FSBMP_C_API void fsbmp_close(fsbmp_source* s);

/* What the source holds: "ext4" (any ext4-only feature set: an incompatible or read-only
 * compatible one that ext3 lacks, such as extents, flex_bg, 64bit, metadata_csum, huge_file),
 * "ext3" (else, a journal), "ext2", as blkid names them; "xfs", "btrfs", "reiserfs", "vxfs", "disk"
 * (a whole disk, or a partition holding an LVM2 PV); a partition may also be "swap" or "unknown"
 * (contents not recognised: all of it counts used). A static string. */
FSBMP_C_API const char* fsbmp_kind(const fsbmp_source* s);

/* Where the source's bytes start on the device opened: a partition's byte offset on its disk,
 * 0 for anything else. Offsets of fsbmp_used_ranges count from here. */
FSBMP_C_API uint64_t fsbmp_offset(const fsbmp_source* s);

/* The device's (or the partition's) length in bytes. */
FSBMP_C_API uint64_t fsbmp_device_size(const fsbmp_source* s);

/* The file system's block size, or 512 for a disk and a partition holding no file system: chunk
 * sizes are powers of two and multiples of it. */
FSBMP_C_API uint32_t fsbmp_block_size(const fsbmp_source* s);

/* Builds the bitmap of the device at `chunk_size` bytes per chunk: chunk c is bit c % 8 (least
 * significant first) of byte c / 8, set when the chunk holds used blocks. On success *bitmap
 * holds ceil(*nchunks / 8) bytes, freed with fsbmp_free, and bits past the last chunk are zero;
 * on failure *bitmap is NULL and *nchunks 0. The chunk size is a power of two, a multiple of the
 * block size and at most 1 GiB (EINVAL otherwise). */
FSBMP_C_API int fsbmp_bitmap(fsbmp_source* s, uint64_t chunk_size, uint8_t** bitmap,
                             uint64_t* nchunks, fsbmp_error* err);

/* Calls cb(ctx, offset, length) for each run of used chunks at `chunk_size`, in bytes, in
 * ascending order, adjacent chunks merged into one run and the last run clipped to the device's
 * end. A non-zero return from cb stops the walk and is returned as it is. */
FSBMP_C_API int fsbmp_used_ranges(fsbmp_source* s, uint64_t chunk_size,
                                  int (*cb)(void* ctx, uint64_t offset, uint64_t length), void* ctx,
                                  fsbmp_error* err);

/* Names the device that holds the file system's external journal (ext3/4) or log (XFS), as
 * `fsbmp --journal-device` does; call it before fsbmp_bitmap. EINVAL for a source whose file
 * system keeps no journal on another device (a disk or a partition included), ENOSYS when `path`
 * is not its journal. */
FSBMP_C_API int fsbmp_set_journal_device(fsbmp_source* s, const char* path, fsbmp_error* err);

/* Frees what fsbmp_bitmap returned. NULL does nothing. */
FSBMP_C_API void fsbmp_free(void* p);

#ifdef __cplusplus
}
#endif

#endif
