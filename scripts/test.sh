#!/usr/bin/env bash
# Builds fsbmp and runs every test three ways: natively, under AddressSanitizer and
# UndefinedBehaviorSanitizer, and as a big-endian 64-bit PowerPC build under qemu-user.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh

jobs=$(nproc)
suite() {
  local name=$1
  shift
  echo "=== $name ==="
  cmake -S . -B "build/$name" -DFSBMP_WERROR=ON "$@" >"build/$name.configure.log" 2>&1 ||
    { cat "build/$name.configure.log"; return 1; }
  cmake --build "build/$name" -j"$jobs"
  (cd "build/$name" && ctest --output-on-failure -j"$jobs" ${FSBMP_CTEST_ARGS:-})
}

mkdir -p build
suite native
echo "=== install and example ==="
scripts/check-install.sh build/native
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 suite sanitize -DFSBMP_SANITIZE=ON
# The big-endian build runs the host's test tools (the fsdb stand-in) built natively above.
suite ppc64 -DCMAKE_TOOLCHAIN_FILE=cmake/ppc64-toolchain.cmake \
  -DFSBMP_HOST_TOOLS_DIR="$root/build/native/vxfs-tools"
echo "All test runs passed."
