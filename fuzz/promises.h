// What every answer of the library promises, checked after each fuzz input: a refusal or a
// failed walk carries an error text, and a bitmap covers the whole device.
#ifndef FSBMP_FUZZ_PROMISES_H
#define FSBMP_FUZZ_PROMISES_H

#include <string>

namespace fsbmp_fuzz {

// Aborts (a finding for the fuzzer) when `ok` is false.
void check(bool ok, const char* what);

// Runs the probing factory on `device`, then getBmp at the block size, at 64 KiB and at
// `extraChunkSize`, and at 64 KiB with the scan of the files where the parser has one, checking
// each answer. FSBMP_FUZZ_VERBOSE set in the environment prints them.
void probeAndWalk(const std::string& device, int extraChunkSize);

}  // namespace fsbmp_fuzz

#endif
