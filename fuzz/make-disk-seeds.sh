#!/usr/bin/env bash
# Makes the seeds of the disk target: the first bytes of devices holding tables made by sfdisk,
# LUKS containers made by cryptsetup and PVs made by lvm2, cut where what follows is only zeros;
# and of the thin target: thin pool metadata made by thin_restore (thin-provisioning-tools), cut
# the same way.
#
#   fuzz/make-disk-seeds.sh
#
# Needs root and a loop device (pvcreate works on block devices only; no device-mapper needed:
# the volumes exist in the metadata only).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/corpus/disk
work=$(mktemp -d)
loopdev=""
export LVM_SUPPRESS_FD_WARNINGS=1
cleanup() {
  if [ -n "$loopdev" ]; then
    vgremove -f fuzzseedvg >/dev/null 2>&1 || true
    pvremove -q "$loopdev" >/dev/null 2>&1 || true
    losetup -d "$loopdev" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$out"

# The first BYTES of FILE, without the zeros at its end.
head_trimmed() {  # FILE BYTES SEED
  head -c "$2" "$1" | python3 -c 'import sys; d = sys.stdin.buffer.read(); sys.stdout.buffer.write(d.rstrip(b"\0"))' >"$out/$3"
}

truncate -s 64M "$work/gpt.img"
printf 'label: gpt\ntable-length: 4\n,8M,L\n,16M,V\n,,L\n' | sfdisk -q "$work/gpt.img"
head_trimmed "$work/gpt.img" 4096 seed-gpt
truncate -s 64M "$work/mbr.img"
printf 'label: dos\n,8M,L\n,,E\n,4M,L\n,4M,8e\n' | sfdisk -q "$work/mbr.img"
head_trimmed "$work/mbr.img" 512 seed-mbr

# LUKS containers: LUKS1's phdr, and LUKS2's two binary headers with their JSON areas.
key=$work/key
head -c 32 /dev/urandom >"$key"
for v in 1 2; do
  truncate -s 32M "$work/luks$v.img"
  cryptsetup luksFormat -q --type luks$v --pbkdf pbkdf2 --pbkdf-force-iterations 1000 \
    --key-file "$key" "$work/luks$v.img"
done
head_trimmed "$work/luks1.img" 4096 seed-luks1
head_trimmed "$work/luks2.img" 32768 seed-luks2

# A PV on a whole device: a volume in two segments and one in one, the VG's text in its first
# metadata area.
truncate -s 64M "$work/pv.img"
loopdev=$(losetup -f --show "$work/pv.img")
pvcreate -q "$loopdev"
vgcreate -q -s 1M fuzzseedvg "$loopdev"
lvcreate -q --driverloaded n -an -Zn -L 4M -n a fuzzseedvg 2>/dev/null
lvcreate -q --driverloaded n -an -Zn -L 2M -n b fuzzseedvg 2>/dev/null
lvextend -q --driverloaded n -L +3M fuzzseedvg/a 2>/dev/null
head_trimmed "$work/pv.img" 65536 seed-pv

# md members, written from md_p.h's layout (making an array needs the md driver): the start of a
# 1.2 member of a 3-member RAID5 with a write-intent bitmap, and of a 1.1 member of a RAID10.
md_seed() {  # METADATA LEVEL LAYOUT SEED
  python3 - "$1" "$2" "$3" "$out/$4" <<'PY'
import struct, sys
kind, level, layout, path = sys.argv[1], int(sys.argv[2]), int(sys.argv[3], 0), sys.argv[4]
at = 4096 if kind == "1.2" else 0
sb = bytearray(1024)
struct.pack_into("<IIII16s32sQiIQIIi", sb, 0, 0xa92b4efc, 1, 1, 0, bytes(range(16)), b"seed:md0",
                 0, level, layout, 65536, 128, 3 if level == 5 else 4, 8)
struct.pack_into("<QQQ", sb, 128, 2048, 65536, at // 512)
struct.pack_into("<I", sb, 160, 1)
struct.pack_into("<QQ", sb, 200, 5, 2**64 - 1)
struct.pack_into("<I", sb, 220, 384)
for d in range(384):
    struct.pack_into("<H", sb, 256 + 2 * d, d if d < (3 if level == 5 else 4) else 0xffff)
s = sum(struct.unpack_from("<256I", sb))
struct.pack_into("<I", sb, 216, (s & 0xffffffff) + (s >> 32) & 0xffffffff)
bitmap = bytearray(256)
struct.pack_into("<II16sQQQII", bitmap, 0, 0x6d746962, 4, bytes(range(16)), 5, 0, 65536, 0, 1 << 20)
img = bytearray(at) + sb + bytearray(4096 - len(sb)) + bitmap
open(path, "wb").write(bytes(img))
PY
}
md_seed 1.2 5 2 seed-md-raid5
md_seed 1.1 10 0x102 seed-md-raid10
ls -l "$out"

# Thin pool metadata: a device of 600 scattered mappings (a two-level tree of the device's
# blocks), a small one, and one with none.
thin_out=$here/corpus/thin
mkdir -p "$thin_out"
python3 - >"$work/thin.xml" <<'PY'
print('<superblock uuid="" time="2" transaction="7" flags="0" version="2" '
      'data_block_size="128" nr_data_blocks="2048">')
print('<device dev_id="1" mapped_blocks="600" transaction="0" creation_time="0" snap_time="1">')
for b in range(600):
    print('<single_mapping origin_block="%d" data_block="%d" time="0"/>' % (b, (b * 389 + 11) % 2048))
print('</device>')
print('<device dev_id="4" mapped_blocks="10" transaction="3" creation_time="1" snap_time="1">')
print('<range_mapping origin_begin="100" data_begin="1500" length="10" time="1"/>')
print('</device>')
print('<device dev_id="5" mapped_blocks="0" transaction="5" creation_time="2" snap_time="2">')
print('</device>')
print('</superblock>')
PY
truncate -s 4M "$work/thin.meta"
thin_restore -q -i "$work/thin.xml" -o "$work/thin.meta"
thin_check -q "$work/thin.meta"
out=$thin_out
head_trimmed "$work/thin.meta" 65536 seed-thin
ls -l "$thin_out"
