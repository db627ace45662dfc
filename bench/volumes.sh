#!/bin/bash
# Builds the benchmark volumes as sparse image files, or reuses them when already built.
#
#   bench/volumes.sh [NAME...]     (default: every volume)
#
# Names: ext4-64g ext4-1t ext4-15t xfs-64g xfs-1t xfs-15t reiserfs-64g vxfs-1t btrfs-256g
# Where: $FSBMP_BENCH_DATA, default build/bench-data under the source tree.
#
# ext4 and XFS are made by mkfs with its defaults (XFS at 1 TiB and 64 GiB with 4 AGs), loop
# mounted and filled to about half by bench/fill.py (fallocate'd files of mixed sizes across 1021
# top-level directories, every other one deleted afterwards). On ext4 one file spanning the free
# space is fallocate'd and deleted first, so that every group's block bitmap is initialised (no
# group is left BLOCK_UNINIT). btrfs (256 GiB, mkfs defaults) is filled the same way (about
# 130 data block groups of 1 GiB), then a 20 GiB file is fallocate'd and deleted just before the
# unmount, which leaves its 20 block groups allocated and empty (the kernel drops empty block
# groups some time after they empty). ReiserFS stays as mkreiserfs made it. The VxFS volume is a
# stand-in image for the fsdb test double (vximage), half its allocation units in use.
# Only the allocated metadata takes real disk: a few hundred MiB per volume, about 1 GiB in all.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
data=${FSBMP_BENCH_DATA:-$root/build/bench-data}
mkdir -p "$data"

mnt=""
loopdev=""
cleanup() {
  if [ -n "$mnt" ]; then
    umount "$mnt" 2>/dev/null || true
    rmdir "$mnt" 2>/dev/null || true
  fi
  if [ -n "$loopdev" ]; then losetup -d "$loopdev" 2>/dev/null || true; fi
  mnt=""
  loopdev=""
}
trap cleanup EXIT INT TERM

size_of() {
  case $1 in
    *-64g) echo 64G ;;
    *-1t) echo 1T ;;
    *-15t) echo 15T ;;
  esac
}
scale_of() {
  case $1 in
    *-64g) echo 0.0625 ;;
    *-1t) echo 1 ;;
    *-15t) echo 15 ;;
  esac
}

# Mounts $1 through a loop device of our own, runs the fill, unmounts.
fill() {
  local img=$1 scale=$2 prefill=$3
  if ! loopdev=$(losetup -f --show "$img" 2>/dev/null); then
    echo "volumes.sh: no loop device here; cannot fill $img" >&2
    return 1
  fi
  mnt=$(mktemp -d)
  mount "$loopdev" "$mnt"
  if [ "$prefill" = 1 ]; then
    python3 - "$mnt" <<'PY'
import os, sys
mnt = sys.argv[1]
st = os.statvfs(mnt)
size = (st.f_bavail * st.f_frsize - (256 << 20)) // 4096 * 4096
fd = os.open(os.path.join(mnt, "span"), os.O_CREAT | os.O_WRONLY, 0o644)
try:
    os.posix_fallocate(fd, 0, size)
except OSError:
    pass
os.close(fd)
os.unlink(os.path.join(mnt, "span"))
PY
    sync
  fi
  python3 "$here/fill.py" "$mnt" "$scale"
  sync
  cleanup
}

build() {
  local name=$1 img=$data/$1.img
  if [ -e "$img.ready" ]; then
    echo "$name: reusing $img"
    return 0
  fi
  rm -f "$img" "$img.ready"
  echo "$name: building $img"
  case $name in
    ext4-*)
      truncate -s "$(size_of "$name")" "$img"
      mkfs.ext4 -q -F "$img"
      fill "$img" "$(scale_of "$name")" 1
      ;;
    xfs-15t)
      truncate -s "$(size_of "$name")" "$img"
      mkfs.xfs -q -f "$img"
      fill "$img" "$(scale_of "$name")" 0
      ;;
    xfs-*)
      truncate -s "$(size_of "$name")" "$img"
      mkfs.xfs -q -f -d agcount=4 "$img"
      fill "$img" "$(scale_of "$name")" 0
      ;;
    btrfs-256g)
      truncate -s 256G "$img"
      mkfs.btrfs -q -f "$img" >/dev/null
      fill "$img" 0.25 1
      loopdev=$(losetup -f --show "$img")
      mnt=$(mktemp -d)
      mount "$loopdev" "$mnt"
      fallocate -l 20G "$mnt/tail" && sync && rm "$mnt/tail"
      cleanup
      ;;
    reiserfs-64g)
      truncate -s 64G "$img"
      mkreiserfs -f -q "$img" >/dev/null 2>&1
      ;;
    vxfs-1t)
      # 8 KiB blocks, 2^27 blocks; every other 256 MiB allocation unit holds a used run.
      local vximage=${FSBMP_VXIMAGE:-$root/build/vxfs-tools/vximage}
      local used="" au=32768 units=$((134217728 / 32768)) free="" u
      for ((u = 0; u < units; u++)); do
        if ((u % 2 == 0)); then
          used+="$((u * au + 4096))-$((u * au + 8191)),"
        elif ((u > 0)); then
          free+="$u,"
        fi
      done
      "$vximage" "$img" --block-size 8192 --blocks 134217728 --au-blocks $au \
        --used "${used%,}" --free-units "${free%,}" --extent-blocks 4096
      ;;
    *)
      echo "volumes.sh: unknown volume $name" >&2
      return 2
      ;;
  esac
  touch "$img.ready"
}

names=("$@")
[ ${#names[@]} -gt 0 ] || names=(ext4-64g ext4-1t ext4-15t xfs-64g xfs-1t xfs-15t reiserfs-64g vxfs-1t
  btrfs-256g)
for n in "${names[@]}"; do build "$n"; done
