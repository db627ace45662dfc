#!/bin/bash
# A crash-consistent snapshot of a 64 GiB XFS whose log needs recovery, and a clean copy of the
# same file system, for bench/floors.sh (as root: the volume is loop-mounted):
#
#   bench/dirty-xfs.sh DIR          makes DIR/xfs-64g-dirty.img and DIR/xfs-64g-clean.img
#   FSBMP_BENCH_DATA=DIR bench/floors.sh xfs-64g-clean xfs-64g-dirty
#
# 3000 files of 8 KiB in 30 directories, every tenth one fsynced, written into a fresh sparse
# XFS; the image is copied (cp --sparse=always) while still mounted, then unmounted and copied
# again. fsbmp replays the first one's log in memory (`fsbmp info` counts the transactions).
set -euo pipefail
dir=${1:?usage: dirty-xfs.sh DIR}
mkdir -p "$dir"
img=$dir/xfs-64g-live.img
mnt=$(mktemp -d)
cleanup() {
  mountpoint -q "$mnt" && umount "$mnt"
  rmdir "$mnt"
  rm -f "$img"
}
trap cleanup EXIT INT TERM
truncate -s 64G "$img"
mkfs.xfs -q -f "$img"
mount -o loop "$img" "$mnt"
python3 - "$mnt" <<'PY'
import os, sys
base = sys.argv[1]
for d in range(30):
    os.mkdir(f"{base}/d{d}")
    for i in range(100):
        fd = os.open(f"{base}/d{d}/f{i}", os.O_CREAT | os.O_WRONLY, 0o644)
        os.write(fd, b"x" * 8192)
        if i % 10 == 0:
            os.fsync(fd)
        os.close(fd)
PY
cp --sparse=always "$img" "$dir/xfs-64g-dirty.img"
umount "$mnt"
cp --sparse=always "$img" "$dir/xfs-64g-clean.img"
