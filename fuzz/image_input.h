// A fuzz input for the parsers that read the device themselves: a base image made by the real
// mkfs tool, chosen by the input, plus byte patches aimed at the image's metadata. The base
// images stay on a tmpfs file each; an input's patches go in, the parser runs, and the touched
// bytes go back, so that one execution costs what its patches cost, not the image's size.
//
// Input layout:
//   byte 0      which base image (modulo their number)
//   byte 1      options: bit 0 recompute the XFS tree-block checksums of patched blocks;
//               bit 1 cut the device short (bytes 2-5: its length in 512-byte sectors);
//               bits 3-7 the shift of an extra chunk size (2^(9 + n); above 2^30: invalid)
//   bytes 2-5   cut length, when bit 1 is set (little-endian)
//   then        patches: length (1 byte), where (4 bytes, little-endian), length bytes. With
//               where's top bit clear, where indexes the bytes of the base's non-zero sectors
//               (its metadata, in a fresh image); with it set, the image's bytes directly.
#ifndef FSBMP_FUZZ_IMAGE_INPUT_H
#define FSBMP_FUZZ_IMAGE_INPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fsbmp_fuzz {

// Loads the compressed base images named (files under the images directory); once per process,
// from LLVMFuzzerInitialize.
void loadImages(const std::vector<std::string>& names);

// Applies the input to a base, runs the probing factory and getBmp at a few chunk sizes on the
// device file, and restores the base.
void runImageInput(const uint8_t* data, size_t size);

// Reaps finished child processes (a VxFS magic makes the factory start fsdb).
void reapChildren(bool wait);

}  // namespace fsbmp_fuzz

#endif
