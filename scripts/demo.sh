#!/usr/bin/env bash
# Builds fsbmp, makes small file systems with the real mkfs tools and shows what fsbmp reports
# for each: its geometry and the used-chunk bitmap at 1 MiB chunks.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build/demo -DFSBMP_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/demo -j"$(nproc)" >/dev/null
fsbmp=$PWD/build/demo/tools/fsbmp

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

for fs in ext4 reiserfs xfs; do
  echo "=== $fs ==="
  "$fsbmp" info "$work/$fs.img" || true
  "$fsbmp" bitmap "$work/$fs.img" --chunk-size 1M --output "$work/$fs.bmp" || true
  echo
done
