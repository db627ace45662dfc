#!/bin/bash
# The benchmark: fsbmp against partclone's used-block map and against the floor (one read of
# every metadata block), on ext4, XFS and ReiserFS volumes of 64 GiB to 15 TiB, a 256 GiB btrfs
# volume, and the fsdb traffic of a 1 TiB VxFS stand-in volume. Prints a Markdown report on
# standard output.
#
#   bench/run.sh                 (after a build in build/; run as root for the loop mounts)
#
# Environment:
#   FSBMP_BENCH_DATA   where the volumes live (default build/bench-data); reused when present
#   FSBMP_BUILD        the build directory (default build)
#   FSBMP_BENCH_RUNS   runs per fsbmp and floor figure, median reported (default 5)
#   FSBMP_PEER_RUNS    runs per partclone figure (default 3)
#   FSBMP_BENCH_SIZES  volume sizes (default "64g 1t 15t")
#   FSBMP_PEER_15T     1: run partclone on the 15 TiB volumes too (slow; default 0)
#
# It is a benchmark, not a test: nothing in the test command runs it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${FSBMP_BUILD:-$root/build}
export FSBMP_BENCH_DATA=${FSBMP_BENCH_DATA:-$build/bench-data}
data=$FSBMP_BENCH_DATA
runs=${FSBMP_BENCH_RUNS:-5}
peerRuns=${FSBMP_PEER_RUNS:-3}
sizes=${FSBMP_BENCH_SIZES:-64g 1t 15t}
driver=$build/bench/fsbmp_bench
[ -x "$driver" ] || { echo "run.sh: build first ($driver missing)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

names=()
for s in $sizes; do names+=("ext4-$s" "xfs-$s"); done
names+=(reiserfs-64g btrfs-256g vxfs-1t)
"$here/volumes.sh" "${names[@]}" >&2

field() { sed -n "s/.*\\b$1=\\([0-9.]*\\).*/\\1/p" <<<"$2"; }
ms() { awk -v u="$1" 'BEGIN { printf "%.1f", u / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }

# partclone -D: median wall and CPU (user + system) in µs over peerRuns runs.
peer() {
  local tool=$1 img=$2 walls=() cpus=() i out
  for ((i = 0; i < peerRuns; i++)); do
    rm -f "$work/map"
    if ! /usr/bin/time -o "$work/time" -f "TIME %e %U %S" "$tool" -D -q -s "$img" -o "$work/map" \
      -L "$work/log" >/dev/null 2>&1 </dev/null; then
      echo "run.sh: $tool failed on $img (log: $(tail -c 200 "$work/log"))" >&2
      return 1
    fi
    out=$(grep '^TIME' "$work/time")
    walls+=("$(awk '{ printf "%.0f", $2 * 1e6 }' <<<"$out")")
    cpus+=("$(awk '{ printf "%.0f", ($3 + $4) * 1e6 }' <<<"$out")")
  done
  printf '%s\n' "${walls[@]}" | sort -n | awk '{ v[NR] = $1 } END { printf "%s ", v[int((NR + 1) / 2)] }'
  printf '%s\n' "${cpus[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

echo "# fsbmp benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "Warm page cache. Times are medians of $runs runs (partclone: $peerRuns) in ms, wall and CPU;"
echo "ratios are of CPU time (wall in brackets): fsbmp / floor (lower is better) and peer / fsbmp"
echo "(how many times faster fsbmp is). Reads: read requests (syscr) and MiB read by one run."
echo
echo "| volume | what | chunk | wall ms | CPU ms | reads | MiB read | peak RSS MiB | bitmap MiB | fsbmp / floor | peer / fsbmp |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"

coldLines=()
processLines=()
for name in "${names[@]}"; do
  img=$data/$name.img
  kind=${name%%-*}
  [ "$kind" = vxfs ] && continue
  "$here/floor-list.sh" "$kind" "$img" >"$work/floor"
  floor=$("$driver" floor "$img" "$work/floor" "$runs")
  fw=$(field wall_us "$floor") fc=$(field cpu_us "$floor")
  echo "| $name | floor (pread) | - | $(ms "$fw") | $(ms "$fc") | $(field reads "$floor") | $(awk -v b="$(field read_bytes "$floor")" 'BEGIN { printf "%.2f", b / 1048576 }') | $(awk -v k="$(field peak_rss_kib "$floor")" 'BEGIN { printf "%.1f", k / 1024 }') | - | - | - |"
  pw="" pc=""
  tool=""
  case $kind in
    ext4) tool=partclone.extfs ;;
    xfs) tool=partclone.xfs ;;
    btrfs) tool=partclone.btrfs ;;
  esac
  if [ -n "$tool" ] && { [ "${name##*-}" != 15t ] || [ "${FSBMP_PEER_15T:-0}" = 1 ]; }; then
    read -r pw pc < <(peer "$tool" "$img")
    echo "| $name | $tool -D | 4 KiB | $(ms "$pw") | $(ms "$pc") | - | - | - | - | - | - |"
  fi
  for chunk in 4096 65536 1048576; do
    out=$("$driver" bitmap "$img" "$chunk" "$runs")
    w=$(field wall_us "$out") c=$(field cpu_us "$out")
    peerRatio="-"
    [ -n "$pc" ] && peerRatio="$(ratio "$pc" "$c") ($(ratio "$pw" "$w"))"
    echo "| $name | fsbmp | $((chunk / 1024)) KiB | $(ms "$w") | $(ms "$c") | $(field reads "$out") | $(awk -v b="$(field read_bytes "$out")" 'BEGIN { printf "%.2f", b / 1048576 }') | $(awk -v k="$(field peak_rss_kib "$out")" 'BEGIN { printf "%.1f", k / 1024 }') | $(awk -v b="$(field bitmap_bytes "$out")" 'BEGIN { printf "%.3f", b / 1048576 }') | $(ratio "$c" "$fc") ($(ratio "$w" "$fw")) | $peerRatio |"
    if [ "$kind" = xfs ] && [ "$chunk" = 4096 ]; then
      pass=$("$driver" pass "$(field bitmap_bytes "$out")" "$runs")
      passC=$(field cpu_us "$pass") passW=$(field wall_us "$pass")
      echo "| $name | one pass over the 4 KiB bitmap (calloc, memset, free) | 4 KiB | $(ms "$passW") | $(ms "$passC") | - | - | - | - | fsbmp / (2 x floor + pass): $(ratio "$c" "$(awk -v f="$fc" -v p="$passC" 'BEGIN { print 2 * f + p }')") | - |"
    fi
  done
  # Whole processes at 64 KiB chunks, start-up and probe included: `fsbmp bitmap` against
  # fsbmp_floor, a program that only reads the floor's ranges.
  pf=$("$driver" process "$runs" "$build/bench/fsbmp_floor" "$img" "$work/floor")
  pb=$("$driver" process "$runs" "$build/tools/fsbmp" bitmap -c 64K -f raw -o /dev/null "$img")
  processLines+=("| $name | fsbmp_floor | $(ms "$(field wall_us "$pf")") | $(ms "$(field cpu_us "$pf")") | $(field minflt "$pf") | - |")
  processLines+=("| $name | fsbmp bitmap -c 64K -f raw | $(ms "$(field wall_us "$pb")") | $(ms "$(field cpu_us "$pb")") | $(field minflt "$pb") | $(ratio "$(field cpu_us "$pb")" "$(field cpu_us "$pf")") ($(ratio "$(field wall_us "$pb")" "$(field wall_us "$pf")")) |")
  if [ "${name##*-}" = 1t ] || [ "$name" = reiserfs-64g ]; then
    cf=$("$driver" floor "$img" "$work/floor" "$runs" --cold)
    cb=$("$driver" bitmap "$img" 65536 "$runs" --cold)
    coldLines+=("| $name | floor | $(ms "$(field wall_us "$cf")") | $(field reads "$cf") | $(awk -v b="$(field read_bytes "$cf")" 'BEGIN { printf "%.2f", b / 1048576 }') | - |")
    coldLines+=("| $name | fsbmp 64 KiB | $(ms "$(field wall_us "$cb")") | $(field reads "$cb") | $(awk -v b="$(field read_bytes "$cb")" 'BEGIN { printf "%.2f", b / 1048576 }') | $(ratio "$(field wall_us "$cb")" "$(field wall_us "$cf")") |")
  fi
done

echo
echo "## Whole processes (64 KiB chunks)"
echo
echo "Median of $runs runs of each whole process (fork, exec, start-up, probe, exit); CPU is user +"
echo "system from wait4, faults are minor page faults."
echo
echo "| volume | process | wall ms | CPU ms | faults | fsbmp / floor: CPU (wall) |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${processLines[@]}"

echo
echo "## Cold page cache"
echo
echo "The image's pages are dropped before every run with posix_fadvise(POSIX_FADV_DONTNEED) (writing"
echo "/proc/sys/vm/drop_caches is not permitted here); the host below the virtual disk may still cache."
echo
echo "| volume | what | wall ms | reads | MiB read | fsbmp/floor (wall) |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${coldLines[@]}"

# VxFS: the commands fsbmp sends the fsdb stand-in, counted from its log.
echo
echo "## VxFS: fsdb commands (stand-in volume, 1 TiB, 8 KiB blocks, half the allocation units free)"
echo
img=$data/vxfs-1t.img
log=$work/fsdb.log
PATH=$build/vxfs-tools:$PATH FSDB_STANDIN_LOG=$log "$driver" bitmap "$img" 65536 1 >"$work/vx"
total=$(grep -c '^cmd ' "$log")
mapi=$(grep -c '^cmd mapi' "$log")
dumps=$(($(grep -c '^cmd [0-9]*b\.p' "$log") - 1))  # less the probe's one
probe=$(awk '/^cmd 1fset\.[0-9]+i$/ { exit } /^cmd / { n++ } END { print n }' "$log")
gib=$(( $(stat -c %s "$img") / 1073741824 ))
echo "| commands | all | probe | getBmp: location queries (mapi) | getBmp: block dumps | getBmp per GiB |"
echo "|---|---|---|---|---|---|"
echo "| count | $total | $probe | $mapi | $dumps | $(awk -v n="$((total - probe))" -v g="$gib" 'BEGIN { printf "%.2f", n / g }') |"
echo
echo "Minimum for this volume: one location query and one block for every 16 map groups (8192 / 512)"
echo "of the allocation units not flagged free: 2048 units x 16 groups / 16 = 2048 of each."
