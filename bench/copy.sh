#!/bin/bash
# The copy benchmark: how long copying the used space of a half-full ext4 and XFS volume takes,
# against the floor (one sequential read of the same used runs, nothing written), for
# `fsbmp copy` with and without --direct, nbdcopy through the nbdkit plugin (where it is built and
# nbdcopy is installed), `partclone.* -c` to an image file and `partclone.extfs -b` device to
# device. Prints a Markdown table on standard output.
#
#   bench/copy.sh                (as root, after a build: loop devices, mounts, cgroups)
#
# The volumes hold real data: written with incompressible bytes through a loop mount up to about
# three quarters full, then every third file deleted, so that the used space is about half and
# in many runs. They are made once and reused.
#
# Environment:
#   FSBMP_BENCH_DATA   where the volumes live (default build/bench-data)
#   FSBMP_BUILD        the build directory (default build)
#   FSBMP_COPY_SIZE    volume size (default 4g)
#   FSBMP_COPY_RUNS    runs per figure, median reported (default 3)
#   FSBMP_COPY_OUT     where copies are written (default /dev/shm: the target is not what is
#                      measured)
#   FSBMP_COPY_BPS     reads of the source loop device throttled to this many bytes a second
#                      (cgroup v1 blkio); 0 (the default) for none
#   FSBMP_COPY_CHUNK   fsbmp's chunk size (default 64K)
#   FSBMP_COPY_KINDS   the file systems (default "ext4 xfs")
#
# Every run starts cold: the source loop device's and the image's pages are dropped first
# (dd iflag=nocache count=0, posix_fadvise DONTNEED on the whole file). It is a benchmark, not a
# test: nothing in the test command runs it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${FSBMP_BUILD:-$root/build}
data=${FSBMP_BENCH_DATA:-$build/bench-data}
size=${FSBMP_COPY_SIZE:-4g}
runs=${FSBMP_COPY_RUNS:-3}
out=${FSBMP_COPY_OUT:-/dev/shm}
bps=${FSBMP_COPY_BPS:-0}
chunk=${FSBMP_COPY_CHUNK:-64K}
fsbmp=$build/tools/fsbmp
driver=$build/bench/fsbmp_bench
plugin=$build/nbdkit/nbdkit-fsbmp-plugin.so
[ -x "$fsbmp" ] && [ -x "$driver" ] || { echo "copy.sh: build fsbmp_cli and fsbmp_bench first" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "copy.sh: run as root (loop devices, mounts)" >&2; exit 1; }
mkdir -p "$data"

work=$(mktemp -d "$out/fsbmp-copy.XXXXXX")
loops=() cgroup=
cleanup() {
  mountpoint -q "$work/mnt" 2>/dev/null && umount "$work/mnt"
  for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null || true; done
  if [ -n "$cgroup" ]; then
    echo $$ >/sys/fs/cgroup/blkio/cgroup.procs 2>/dev/null || true
    rmdir "$cgroup" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# A half-full volume of real data, in many runs.
makeVolume() {
  local kind=$1 img=$data/copy-$kind-$size.img
  [ -f "$img.ready" ] && return
  rm -f "$img"
  truncate -s "$size" "$img"
  case $kind in
    ext4) mkfs.ext4 -q -F "$img" ;;
    xfs) mkfs.xfs -q -f "$img" ;;
  esac
  mkdir -p "$work/mnt"
  mount -o loop "$img" "$work/mnt"
  local total=$(($(stat -c %s "$img") * 3 / 4)) written=0 i=0 n
  while [ $written -lt $total ]; do
    n=$(((i * 7919 % 61 + 1) * 1048576 + i * 4096 % 65536))
    head -c $n /dev/urandom >"$work/mnt/f$i"
    written=$((written + n)) i=$((i + 1))
  done
  for ((j = 0; j < i; j += 3)); do rm "$work/mnt/f$j"; done
  # Some small files in the holes the deletions left.
  for ((j = 0; j < 200; j++)); do head -c $((j * 3001 % 200000 + 1)) /dev/urandom >"$work/mnt/s$j"; done
  umount "$work/mnt"
  touch "$img.ready"
}

drop() {
  local f
  for f; do dd if="$f" iflag=nocache count=0 status=none; done
}

# Seconds that "$@" takes, after dropping the source's pages; the output goes to $work/log.
timed() {
  drop "$img" "$src"
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >"$work/log" 2>&1 || { echo "copy.sh: failed: $*" >&2; cat "$work/log" >&2; exit 1; }
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# The median of $runs timings of "$@"; `reset` runs untimed before each.
figure() {
  local r
  for ((r = 0; r < runs; r++)); do
    reset
    timed "$@"
  done | median
}
reset() { rm -f "$work"/copy.img "$work"/copy.pc; }

if [ "$bps" != 0 ]; then
  cgroup=/sys/fs/cgroup/blkio/fsbmp-copy-bench.$$
  mkdir "$cgroup"
fi

echo "| volume | used | what | median s | MiB/s of used | / floor |"
echo "|---|---|---|---:|---:|---:|"
for kind in ${FSBMP_COPY_KINDS:-ext4 xfs}; do
  makeVolume "$kind"
  img=$data/copy-$kind-$size.img
  src=$(losetup -r -f --show "$img")
  loops+=("$src")
  if [ -n "$cgroup" ]; then
    echo "$(lsblk -ndo MAJ:MIN "$src" | tr -d ' ') $bps" >"$cgroup/blkio.throttle.read_bps_device"
    echo $$ >"$cgroup/cgroup.procs"
  fi
  "$fsbmp" bitmap "$src" -c "$chunk" -f ranges >"$work/ranges"
  used=$(awk '{ s += $2 } END { print s }' "$work/ranges")
  usedMiB=$(awk -v u="$used" 'BEGIN { printf "%.0f", u / 1048576 }')
  dst=$work/dst.img
  truncate -s "$(blockdev --getsize64 "$src")" "$dst"
  dstLoop=$(losetup -f --show "$dst")
  loops+=("$dstLoop")
  case $kind in ext4) pc=partclone.extfs ;; xfs) pc=partclone.xfs ;; esac

  floor=$(figure "$driver" floor "$src" "$work/ranges" 1)
  row() {
    echo "| $kind $size | $usedMiB MiB | $1 | $2 | $(awk -v u="$used" -v s="$2" 'BEGIN { printf "%.0f", u / 1048576 / s }') | $(awk -v s="$2" -v f="$floor" 'BEGIN { printf "%.2f", s / f }') |"
  }
  row "floor: read the used runs ($chunk chunks), 4 MiB requests" "$floor"
  row "fsbmp copy -c $chunk" "$(figure "$fsbmp" copy "$src" "$work/copy.img" -c "$chunk" -q)"
  row "fsbmp copy -c $chunk --direct" "$(figure "$fsbmp" copy "$src" "$work/copy.img" -c "$chunk" -q --direct)"
  if [ -f "$plugin" ] && command -v nbdkit >/dev/null && command -v nbdcopy >/dev/null; then
    row "nbdcopy through the nbdkit plugin, chunk-size=$chunk" "$(figure nbdkit -r -U - "$plugin" \
      "$src" chunk-size="$chunk" --run "nbdcopy \"\$uri\" $work/copy.img")"
  fi
  row "$pc -c (to an image file)" "$(figure "$pc" -c -q -s "$src" -o "$work/copy.pc")"
  if [ "$kind" = ext4 ]; then
    row "fsbmp copy -c $chunk, loop device to loop device" "$(figure "$fsbmp" copy "$src" "$dstLoop" -c "$chunk" -q)"
    row "fsbmp copy -c $chunk --direct, loop device to loop device" "$(figure "$fsbmp" copy "$src" "$dstLoop" -c "$chunk" -q --direct)"
    row "$pc -b (loop device to loop device)" "$(figure "$pc" -b -q -s "$src" -o "$dstLoop")"
  fi
  losetup -d "$dstLoop"
  losetup -d "$src"
  loops=()
  rm -f "$dst"
done
