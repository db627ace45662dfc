#!/bin/bash
# Prints the byte ranges ("OFFSET LENGTH") of the metadata a used-space map of IMAGE has to read,
# as the file systems' own tools report it; fsbmp_bench floor reads them once each.
#
#   bench/floor-list.sh ext4|xfs|reiserfs|btrfs IMAGE
#
# ext4: superblock, the primary descriptor table, the block bitmap of every group that is not
#       BLOCK_UNINIT (dumpe2fs).
# XFS: superblock, the superblock copy and AGF sector of every AG, every block of every AG's
#      by-block free-space tree (xfs_db, trees of up to two levels).
# ReiserFS: superblock and every bitmap block (debugreiserfs -m).
# btrfs (one device): superblock, every block of the chunk, root, device and free-space trees, and
#        of the extent tree its nodes and the leaves holding block-group items (with no free-space
#        tree, every extent-tree block), each at its first copy (dump-tree).
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
  btrfs)
    echo 65536 4096
    read -r ro nodesize < <(btrfs inspect-internal dump-super "$img" |
      awk '/^compat_ro_flags/ { r = $2 } /^nodesize/ { n = $2 } END { print r, n }')
    fst=$((ro & 1))
    {
      btrfs inspect-internal dump-tree -t chunk "$img"
      echo "== blocks"
      for t in chunk root dev; do btrfs inspect-internal dump-tree -t $t "$img"; done
      [ "$fst" = 1 ] && btrfs inspect-internal dump-tree -t 10 "$img"
      echo "== extent"
      btrfs inspect-internal dump-tree -t extent "$img"
    } | awk -v ns="$nodesize" -v all=$((1 - fst)) '
      # Chunks (logical start, length, first stripe), then tree blocks mapped through them.
      function emit(b,  i) {
        for (i = 1; i <= n; i++)
          if (b >= cs[i] && b < cs[i] + cl[i]) { printf "%.0f %.0f\n", co[i] + b - cs[i], ns; return }
      }
      !blocks && /CHUNK_ITEM/ { sub(/\)/, "", $6); start = $6 }
      !blocks && /^[ \t]+length [0-9]+ owner/ { len = $2 }
      !blocks && /^[ \t]+stripe 0 devid/ { n++; cs[n] = start; cl[n] = len; co[n] = $6 }
      /^== blocks/ { blocks = 1; next }
      /^== extent/ { extent = 1; next }
      /^(leaf|node) [0-9]+ (items|level)/ {
        leaf = 0
        if (!extent || all || $1 == "node") emit($2); else leaf = $2
        next
      }
      leaf && /BLOCK_GROUP_ITEM/ { emit(leaf); leaf = 0 }'
    ;;
  *)
    echo "usage: floor-list.sh ext4|xfs|reiserfs|btrfs IMAGE" >&2
    exit 2
    ;;
esac
