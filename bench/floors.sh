#!/bin/bash
# The warm-cache floors side by side. For each volume: the floor (`fsbmp_bench floor`, one pread
# of each metadata range that bench/floor-list.sh lists), fsbmp's probe and getBmp at 64 KiB chunks
# in one process (`fsbmp_bench bitmap`), and whole processes: fsbmp_floor, which only reads the
# same ranges, against `fsbmp bitmap -c 64K -f raw -o /dev/null`. Given FSBMP_BASE_BUILD (an
# older build of fsbmp_bench and the tool), it is timed in the same rounds. The rounds alternate
# all of them so that each sees the same load; every figure is the median over the rounds of
# each invocation's median. Prints Markdown on standard output.
#
#   FSBMP_BENCH_DATA=/work/bench-data bench/floors.sh [VOLUME...]
#
# VOLUME: a name in $FSBMP_BENCH_DATA without .img (default: ext4-64g ext4-1t xfs-64g xfs-1t
# reiserfs-64g, those present). Environment: FSBMP_BUILD (default build), FSBMP_BASE_BUILD,
# FSBMP_BENCH_RUNS (runs per invocation, default 7), FSBMP_BENCH_ROUNDS (default 5).
# A benchmark, not a test; it needs no root once the volumes exist (bench/volumes.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${FSBMP_BUILD:-$root/build}
base=${FSBMP_BASE_BUILD:-}
data=${FSBMP_BENCH_DATA:-$build/bench-data}
runs=${FSBMP_BENCH_RUNS:-7}
rounds=${FSBMP_BENCH_ROUNDS:-5}
for b in $build ${base:+"$base"}; do
  for t in bench/fsbmp_bench tools/fsbmp; do
    [ -x "$b/$t" ] || { echo "floors.sh: $b/$t missing: build fsbmp_bench and fsbmp_cli" >&2; exit 1; }
  done
done
[ -x "$build/bench/fsbmp_floor" ] || { echo "floors.sh: build fsbmp_floor first" >&2; exit 1; }
volumes=("$@")
if [ ${#volumes[@]} -eq 0 ]; then
  for v in ext4-64g ext4-1t xfs-64g xfs-1t reiserfs-64g; do
    [ -f "$data/$v.img" ] && volumes+=("$v")
  done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

field() { sed -n "s/.*\\b$1=\\([0-9.]*\\).*/\\1/p" <<<"$2"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ms() { awk -v u="$1" 'BEGIN { printf "%.2f", u / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }

# One figure: appends "wall cpu" of one invocation to $work/KEY.
sample() {
  local key=$1 out
  shift
  out=$("$@")
  echo "$(field wall_us "$out") $(field cpu_us "$out")" >>"$work/$key"
  [ -n "$(field reads "$out")" ] && echo "$(field reads "$out")" >"$work/$key.reads"
  return 0
}
med() { awk -v c="$2" '{ print $c }' "$work/$1" | median; }

echo "# Warm-cache floors, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "Medians over $rounds rounds of each invocation's median of $runs runs; ms of CPU (wall in"
echo "brackets); ratios of CPU time."
echo
printf '| volume | floor | fsbmp 64 KiB |%s fsbmp / floor | floor process | fsbmp process |%s process / floor process | reads: floor, fsbmp |\n' \
  "${base:+ base 64 KiB | base / floor |}" "${base:+ base process | base process / floor |}"
printf '|---|---|---|%s---|---|---|%s---|---|\n' "${base:+---|---|}" "${base:+---|---|}"
for v in "${volumes[@]}"; do
  img=$data/$v.img
  "$here/floor-list.sh" "${v%%-*}" "$img" >"$work/list"
  rm -f "$work"/[a-z]*_*
  for ((r = 0; r < rounds; r++)); do
    sample floor_in "$build/bench/fsbmp_bench" floor "$img" "$work/list" "$runs"
    sample new_in "$build/bench/fsbmp_bench" bitmap "$img" 65536 "$runs"
    [ -n "$base" ] && sample base_in "$base/bench/fsbmp_bench" bitmap "$img" 65536 "$runs"
    sample floor_proc "$build/bench/fsbmp_bench" process "$runs" "$build/bench/fsbmp_floor" "$img" "$work/list"
    sample new_proc "$build/bench/fsbmp_bench" process "$runs" "$build/tools/fsbmp" bitmap -c 64K -f raw -o /dev/null "$img"
    [ -n "$base" ] && sample base_proc "$build/bench/fsbmp_bench" process "$runs" "$base/tools/fsbmp" bitmap -c 64K -f raw -o /dev/null "$img"
  done
  cell() { echo "$(ms "$(med "$1" 2)") ($(ms "$(med "$1" 1)"))"; }
  row="| $v | $(cell floor_in) | $(cell new_in) |"
  [ -n "$base" ] && row+=" $(cell base_in) | $(ratio "$(med base_in 2)" "$(med floor_in 2)") |"
  row+=" $(ratio "$(med new_in 2)" "$(med floor_in 2)") | $(cell floor_proc) | $(cell new_proc) |"
  [ -n "$base" ] && row+=" $(cell base_proc) | $(ratio "$(med base_proc 2)" "$(med floor_proc 2)") |"
  row+=" $(ratio "$(med new_proc 2)" "$(med floor_proc 2)") | $(cat "$work/floor_in.reads"), $(cat "$work/new_in.reads") |"
  echo "$row"
done
