#!/usr/bin/env bash
# Checks the sources' format, builds fsbmp and runs every test three ways: natively, under
# AddressSanitizer and UndefinedBehaviorSanitizer, and as a big-endian 64-bit PowerPC build under
# qemu-user; the concurrency and stress tests also under ThreadSanitizer. Each build is configured
# by its preset of CMakePresets.json, in build/<preset>.
#
# `scripts/test.sh quick` is the loop for the minutes between commits: the format check, then the
# native build and its tests, leaving out the ones labelled slow.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-all}
case $mode in
  all | quick) ;;
  *) echo "usage: scripts/test.sh [quick]" >&2; exit 2 ;;
esac

[ "$mode" = quick ] || scripts/install-deps.sh
echo "=== format ==="
scripts/check-format.sh

jobs=$(nproc)
configure() {
  local name=$1
  echo "=== $name ==="
  cmake --preset "$name" >"build/$name.configure.log" 2>&1 ||
    { cat "build/$name.configure.log"; return 1; }
}
suite() {
  local name=$1
  shift
  configure "$name"
  cmake --build "build/$name" -j"$jobs"
  (cd "build/$name" && ctest --output-on-failure -j"$jobs" "$@" ${FSBMP_CTEST_ARGS:-})
}

mkdir -p build
if [ "$mode" = quick ]; then
  suite native -LE slow
  echo "Quick run passed (scripts/test.sh runs everything)."
  exit 0
fi
suite native
echo "=== install and example ==="
scripts/check-install.sh build/native
echo "=== Debian packages ==="
scripts/build-debs.sh build/debs
# ThreadSanitizer: only the stress tests (threads, and devices changing underneath) and what
# they need.
configure tsan
cmake --build build/tsan -j"$jobs" --target stress_tests
(cd build/tsan && ctest --output-on-failure -R '^stress_tests$')
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 suite sanitize
# The big-endian build runs the host's test tools (the fsdb stand-in) built natively above.
suite ppc64

# A short fuzzing run of every target (about a minute each, two at a time), where clang's
# libFuzzer runtime is present. Findings land in build/fuzz/fuzz-findings/.
if command -v clang++ >/dev/null &&
  [ -n "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a | grep /)" ] &&
  [ -f "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; then
  echo "=== fuzz smoke ==="
  cmake --preset fuzz >build/fuzz.configure.log 2>&1 || { cat build/fuzz.configure.log; exit 1; }
  cmake --build build/fuzz -j"$jobs"
  smoke() { fuzz/run.sh build/fuzz "$1" "${FSBMP_FUZZ_SECONDS:-60}" >"build/fuzz/smoke-$1.log" 2>&1 ||
    { tail -n 60 "build/fuzz/smoke-$1.log"; echo "fuzz target $1 found a fault" >&2; return 1; }; }
  # A target per file system (the last column of src/core/registry.def), then fsdb's answers and
  # the disk layer and thin pool metadata; two at a time.
  targets=$(sed -n 's/^FSBMP_FILE_SYSTEM(.*, *\([a-z0-9_]*\)) *$/\1/p' src/core/registry.def)
  set -- $targets vxfs_text disk thin
  while [ $# -gt 0 ]; do
    smoke "$1" & a=$!
    # Each wait on its own: a failure inside an && list would not stop the script.
    if [ $# -gt 1 ]; then
      smoke "$2" & b=$!
      wait $a || found=1
      wait $b || found=1
      shift 2
    else
      wait $a || found=1
      shift
    fi
  done
  [ -z "${found:-}" ] || { echo "the fuzz smoke run found faults" >&2; exit 1; }
else
  echo "=== fuzz smoke skipped: no clang with libFuzzer (Debian: clang libclang-rt-14-dev) ==="
fi
echo "All test runs passed."
