#!/usr/bin/env bash
# Builds fsbmp, makes small file systems with the real mkfs tools and shows what fsbmp reports
# for each: its geometry, the used-chunk bitmap at 1 MiB chunks and a map of used space; then
# copies the ext4 image without its free space and checks the copy with e2fsck.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build/demo -DFSBMP_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/demo -j"$(nproc)" >/dev/null
fsbmp=$PWD/build/demo/tools/fsbmp
# VxFS is read through its debugger, fsdb. This machine has none, so the demo puts the project's
# test double of fsdb first on PATH (tests/vxfs/tools: it serves images made by vximage).
cmake -S tests/vxfs/tools -B build/demo-vxfs-tools -DVXFS_TOOLS_OUTPUT="$PWD/build/demo-vxfs-tools/bin" >/dev/null
cmake --build build/demo-vxfs-tools -j"$(nproc)" >/dev/null
standin=$PWD/build/demo-vxfs-tools/bin

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/content"
for i in $(seq 1 40); do head -c $((i * 37000)) /dev/urandom >"$work/content/file$i"; done

truncate -s 256M "$work/ext4.img"
mkfs.ext4 -q -F -d "$work/content" "$work/ext4.img"
truncate -s 256M "$work/reiserfs.img"
mkreiserfs -f -q "$work/reiserfs.img" >/dev/null 2>&1
truncate -s 320M "$work/xfs.img"
mkfs.xfs -q -f "$work/xfs.img"
"$standin/vximage" "$work/vxfs.img" --block-size 1024 --blocks 262144 --au-blocks 32768 \
  --free-units 2,3,4,5,6 --used 40000-52000,230000-231999

for fs in ext4 reiserfs xfs vxfs; do
  echo "=== $fs ==="
  PATH="$standin:$PATH" "$fsbmp" info "$work/$fs.img" || true
  PATH="$standin:$PATH" "$fsbmp" bitmap "$work/$fs.img" --chunk-size 1M --output "$work/$fs.bmp" || true
  PATH="$standin:$PATH" COLUMNS=72 "$fsbmp" map "$work/$fs.img" || true
  echo
done

echo "=== copy of the ext4 image, used chunks only ==="
"$fsbmp" copy "$work/ext4.img" "$work/ext4-copy.img" --chunk-size 64K --quiet
du -h --apparent-size "$work/ext4-copy.img"
du -h "$work/ext4-copy.img"
e2fsck -fn "$work/ext4-copy.img"
