#!/usr/bin/env bash
# Runs one fuzz target of a FSBMP_FUZZ build for a while, from the committed corpus.
#
#   fuzz/run.sh BUILD_DIR TARGET SECONDS [libFuzzer options...]
#
# New inputs go to BUILD_DIR/fuzz-corpus/TARGET, findings (crash-*, leak-*, timeout-*, oom-*) to
# BUILD_DIR/fuzz-findings/TARGET/. Every input has 10 seconds and 2 GiB; the input lengths suit
# each target (an image target's input is a handful of patches, the probe's a whole dialogue).
# A finding, once fixed, joins corpus/TARGET so that the ordinary tests replay it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: run.sh BUILD_DIR TARGET SECONDS}" && pwd)
target=${2:?target}
seconds=${3:?seconds}
shift 3
case $target in
  vxfs_probe) max_len=131072 ;;
  vxfs_text) max_len=16384 ;;
  disk) max_len=16384 ;;
  thin) max_len=65536 ;;
  *) max_len=2048 ;;
esac
work=$build/fuzz-corpus/$target
findings=$build/fuzz-findings/$target
mkdir -p "$work" "$findings"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
exec "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len="$max_len" -artifact_prefix="$findings/" -print_final_stats=1 "$@" \
  "$work" "$here/corpus/$target"
