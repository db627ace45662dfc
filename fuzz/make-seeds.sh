#!/usr/bin/env bash
# Makes the fuzzers' base images with the real mkfs tools and the seed inputs that point at them.
#
#   fuzz/make-seeds.sh BUILD_DIR
#
# BUILD_DIR is a native build (it has vxfs-tools/ and fuzz-tools/). Writes:
#   images/NAME.img.gz        small, mostly empty images, compressed (a hole is a run of zeros)
#   corpus/<target>/seed-*    for each base image: no patches, and the checksum option; for the
#                             VxFS probe the recorded dialogues of the fsdb stand-in with images
#                             of its test library
# Needs root (loop mounts fragment the XFS free space and leave logs to replay) and
# mkfs.ext2/3/4, mkfs.xfs, mkreiserfs, mkfs.btrfs. The images are committed; run this again only
# to change them, then fuzz afresh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: make-seeds.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
mnt=""
loopdev=""
cleanup() {
  [ -n "$mnt" ] && umount "$mnt" 2>/dev/null || true
  [ -n "$loopdev" ] && losetup -d "$loopdev" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Files whose content compresses: the images stay small however many blocks they fill.
content=$work/content
mkdir -p "$content/sub/deeper" "$content/frag"
fill() { (set +o pipefail; yes "$1" | head -c "$2"); }  # TEXT BYTES
fill fsbmp 300000 >"$content/big"
fill data 50000 >"$content/sub/mid"
for i in 1 2 3 4 5; do fill "$i" $((i * 3000)) >"$content/sub/deeper/f$i"; done
for i in $(seq 10 69); do fill "$i" 8192 >"$content/frag/f$i"; done
: >"$work/rm.txt"
for i in $(seq 10 69); do [ $((i % 3)) -eq 0 ] || echo "rm /frag/f$i" >>"$work/rm.txt"; done

mkimg() {  # NAME SIZE COMMAND (with {img})
  local img=$work/$1.img
  rm -f "$img"
  truncate -s "$2" "$img"
  eval "${3//\{img\}/$img}" >/dev/null
}

mkimg ext2-1k 8M "mkfs.ext2 -q -F -b 1024 -d '$content' {img}"
mkimg ext3-metabg 8M "mkfs.ext3 -q -F -b 1024 -g 1024 -O meta_bg,^resize_inode {img}"
mkimg ext4-flex 24M "mkfs.ext4 -q -F -b 4096 -g 2048 -d '$content' {img} && debugfs -w -f '$work/rm.txt' {img}"
mkimg ext4-bigalloc 24M "mkfs.ext4 -q -F -b 4096 -O bigalloc -C 16384 -g 1024 -d '$content' {img}"
mkimg ext4-uninit 16M "mkfs.ext4 -q -F -b 1024 -g 2048 -O ^flex_bg,^64bit,^metadata_csum,uninit_bg {img}"

xfs="TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 mkfs.xfs -f -q"
mkimg xfs-v5-4k 40M "$xfs -b size=4096 -d agsize=16m,size=36m {img}"
mkimg xfs-v4-512 40M "$xfs -m crc=0 -b size=512 -d agsize=16m,size=32m {img}"
mkimg xfs-v5-frag 40M "$xfs -b size=1024 -d agcount=2 {img}"
# Hundreds of one-block free extents: free-space trees of two levels.
loopdev=$(losetup -f --show "$work/xfs-v5-frag.img")
mnt=$work/mnt
mkdir -p "$mnt"
mount -t xfs "$loopdev" "$mnt"
(cd "$mnt" && i=0 && while [ $i -lt 1200 ]; do printf '%1024s' x >f$i; i=$((i + 1)); done &&
  sync && rm f*[13579])
umount "$mnt"
mnt=""
losetup -d "$loopdev"
loopdev=""

# Crash-consistent snapshots: copied while mounted, their journal or log holding what the maps
# lack.
snapshot() {  # NAME FSTYPE WORKLOAD (run in the mounted file system)
  loopdev=$(losetup -f --show "$work/$1.img")
  mnt=$work/mnt
  mount -t "$2" "$loopdev" "$mnt"
  (cd "$mnt" && eval "$3" && cp --sparse=always "$work/$1.img" "$work/$1.snap")
  umount "$mnt"
  mnt=""
  losetup -d "$loopdev"
  loopdev=""
  mv "$work/$1.snap" "$work/$1.img"
}
mkimg ext4-dirty 16M "mkfs.ext4 -q -F -b 1024 {img}"
snapshot ext4-dirty ext4 "for i in 1 2 3 4 5 6; do printf '%20000s' x >f\$i && sync f\$i; done"
mkimg ext4-fc 16M "mkfs.ext4 -q -F -b 1024 -O fast_commit {img}"
snapshot ext4-fc ext4 "for i in 1 2 3 4 5 6; do printf '%20000s' x >f\$i && sync f\$i; done"
# Files, a directory and removals.
mkimg xfs-dirty 40M "$xfs -b size=4096 -d agsize=16m,size=36m {img}"
snapshot xfs-dirty xfs "for i in 1 2 3 4 5 6 7 8; do printf '%20000s' x >f\$i && sync f\$i; done &&
  mkdir d && for i in 1 2 3; do printf '%9000s' y >d/g\$i && sync d/g\$i; done &&
  rm f2 f5 && sync -f . && printf '%30000s' z >f9 && sync f9"

# btrfs: single and DUP metadata populated by mkfs, one device of a fresh RAID1 pair (its partner
# stays behind; mkfs populates single devices only), and a log tree still to be replayed.
mkimg btrfs-single 48M "mkfs.btrfs -q -f -m single -d single -r '$content' {img}"
mkimg btrfs-dup 112M "mkfs.btrfs -q -f -r '$content' {img}"
mkimg btrfs-raid1-member 128M "truncate -s 128M '$work/raid1-partner' &&
  mkfs.btrfs -q -f -m raid1 -d raid1 {img} '$work/raid1-partner'"
mkimg btrfs-dirty-log 48M "mkfs.btrfs -q -f -m single -d single {img}"
snapshot btrfs-dirty-log btrfs "cp -r '$content/sub' . && sync &&
  for i in 1 2 3 4; do printf '%20000s' x >f\$i && sync f\$i; done"

mkimg reiserfs-4k 36M "mkreiserfs -f -q -b 4096 {img} 9000"
mkimg reiserfs-1k 20M "mkreiserfs -f -q -b 1024 {img} 20000"

mkdir -p "$here/images"
for img in "$work"/*.img; do
  gzip -9 -n -c "$img" >"$here/images/$(basename "$img").gz"
done

# Seeds: base N, with and without the checksum option, and a device cut short.
seed() {  # TARGET INDEX NAME
  local dir=$here/corpus/$1
  mkdir -p "$dir"
  printf "\\x$(printf %02x "$2")\\x00" >"$dir/seed-$3"
  printf "\\x$(printf %02x "$2")\\x01" >"$dir/seed-$3-crc"
  printf "\\x$(printf %02x "$2")\\x02\\x00\\x40\\x00\\x00" >"$dir/seed-$3-cut"
}
i=0; for n in ext2-1k ext3-metabg ext4-flex ext4-bigalloc ext4-uninit ext4-dirty ext4-fc; do
  seed ext2 $i $n; i=$((i + 1))
done
i=0; for n in xfs-v5-frag xfs-v4-512 xfs-v5-4k xfs-dirty; do seed xfs $i $n; i=$((i + 1)); done
i=0; for n in reiserfs-4k reiserfs-1k; do seed reiserfs $i $n; i=$((i + 1)); done
i=0; for n in btrfs-single btrfs-dup btrfs-raid1-member btrfs-dirty-log; do
  seed btrfs $i $n; i=$((i + 1))
done

# VxFS: the dialogue of the probe target (a probe and its three walks) with the stand-in reading
# an image of its test library, recorded.
mkdir -p "$here/corpus/vxfs_probe" "$here/corpus/vxfs_text"
: >"$work/empty"
vx() {  # NAME VXIMAGE-OPTIONS...
  local name=$1
  shift
  "$build/vxfs-tools/vximage" "$work/$name.vx" "$@"
  rm -f "$work/$name.rec"
  FSBMP_FUZZ_FSDB_REAL="$build/vxfs-tools/fsdb" FSBMP_FUZZ_FSDB_RECORD="$work/$name.rec" \
    FSBMP_FUZZ_FSDB_DEVICE="$work/$name.vx" "$build/fuzz/fuzz_replay_vxfs_probe" "$work/empty" >/dev/null
  cp "$work/$name.rec" "$here/corpus/vxfs_probe/seed-$name"
  # The text target: block size byte, then the answers one after the other.
  (set +o pipefail; printf '\x01'; tr '\0' '\n' <"$work/$name.rec" | head -c 6000) >"$here/corpus/vxfs_text/seed-$name"
}
vx vx-1k --blocks 8192 --used 100-200,5000
vx vx-4k --block-size 4096 --blocks 16384 --au-blocks 4096 --free-units 1 --used 9000-9100
