#!/bin/bash
# Prints the byte ranges ("OFFSET LENGTH") of the metadata a used-space map of IMAGE has to read,
# as the file systems' own tools report it; fsbmp_bench floor reads them once each.
#
#   bench/floor-list.sh ext4|xfs|reiserfs IMAGE
#
# ext4: superblock, the primary descriptor table, the block bitmap of every group that is not
#       BLOCK_UNINIT (dumpe2fs).
# XFS: superblock, the superblock copy and AGF sector of every AG, every block of every AG's
#      by-block free-space tree (xfs_db, trees of up to two levels).
# ReiserFS: superblock and every bitmap block (debugreiserfs -m).
set -euo pipefail
kind=$1 img=$2
case $kind in
  ext4)
    dumpe2fs "$img" 2>/dev/null | awk '
      /^Block size:/ { bs = $3 }
      /^Group 0:/ { g0 = 1 }
      g0 && /Group descriptors at/ {
        match($0, /Group descriptors at [0-9]+-[0-9]+/); split(substr($0, RSTART + 21, RLENGTH - 21), r, "-")
        printf "%.0f %.0f\n", r[1] * bs, (r[2] - r[1] + 1) * bs; g0 = 0 }
      /^Group [0-9]+:/ { uninit = ($0 ~ /BLOCK_UNINIT/) }
      /Block bitmap at/ { if (!uninit) printf "%.0f %.0f\n", $4 * bs, bs }
      END { print 1024, 1024 }'
    ;;
  xfs)
    read -r agblocks bs sect agcount < <(xfs_db -r -c 'sb 0' -c 'p agblocks blocksize sectsize agcount' "$img" |
      awk '{ v[NR] = $3 } END { print v[1], v[2], v[3], v[4] }')
    echo 0 "$sect"
    for ((ag = 0; ag < agcount; ag++)); do
      base=$((ag * agblocks))
      echo $((base * bs)) $((2 * sect))
      out=$(xfs_db -r -c "agf $ag" -c 'p bnoroot bnolevel' -c 'addr bnoroot' -c 'p ptrs' "$img" 2>/dev/null || true)
      root=$(awk '/^bnoroot/ { print $3 }' <<<"$out")
      level=$(awk '/^bnolevel/ { print $3 }' <<<"$out")
      echo $(((base + root) * bs)) "$bs"
      if [ "$level" -gt 2 ]; then
        echo "floor-list.sh: AG $ag of $img has a $level-level tree" >&2
        exit 1
      fi
      if [ "$level" -eq 2 ]; then
        grep '^ptrs' <<<"$out" | tr ' ' '\n' | awk -F: -v base="$base" -v bs="$bs" \
          'NF == 2 { printf "%.0f %.0f\n", (base + $2) * bs, bs }'
      fi
    done
    ;;
  reiserfs)
    echo 65536 4096
    debugreiserfs -m "$img" 2>/dev/null | awk '/^#[0-9]+: block/ { sub(":", "", $3); printf "%.0f 4096\n", $3 * 4096 }'
    ;;
  *)
    echo "usage: floor-list.sh ext4|xfs|reiserfs IMAGE" >&2
    exit 2
    ;;
esac
