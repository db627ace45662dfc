#!/usr/bin/env bash
# Installs a native build into a staging prefix and builds the example program against it, once
# through find_package(fsbmp) and once with pkg-config's flags, and the C example with cc and
# pkg-config's flags, then runs them and the installed Python package on a real image.
#   scripts/check-install.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "$1" && pwd)
stage=$build/stage
rm -rf "$stage" "$build/example" "$build/example-pc"
cmake --install "$build" --prefix "$stage" >/dev/null
for f in bin/fsbmp share/man/man1/fsbmp.1 include/fsbmp/fsbmp.h include/fsbmp/fsbmp_c.h \
  lib/python3/dist-packages/fsbmp/__init__.py; do
  [ -e "$stage/$f" ] || { echo "not installed: $f"; exit 1; }
done
cmake -S examples -B "$build/example" -DCMAKE_PREFIX_PATH="$stage" -DFSBMP_WERROR=ON >/dev/null
cmake --build "$build/example" >/dev/null

pcdir=$(dirname "$(find "$stage" -name fsbmp.pc | head -1)")
flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs fsbmp)
echo "pkg-config --cflags --libs fsbmp: $flags"
mkdir -p "$build/example-pc"
# shellcheck disable=SC2086
g++ -std=c++17 -Wall -Wextra -Wshadow -Wformat=2 -Wconversion -Werror \
  -o "$build/example-pc/bitmap_summary" examples/bitmap_summary.cpp $flags
# shellcheck disable=SC2086
cc -std=c99 -pedantic -Wall -Wextra -Werror -o "$build/example-pc/c_summary" examples/c_summary.c \
  $flags

image=$build/example/ext4.img
truncate -s 32M "$image"
mkfs.ext4 -q -F "$image"
libdir=$(dirname "$(find "$stage" -name 'libfsbmp.so*' | head -1)")
LD_LIBRARY_PATH=$libdir "$build/example/bitmap_summary" "$image" 65536
LD_LIBRARY_PATH=$libdir "$build/example-pc/bitmap_summary" "$image" 65536
LD_LIBRARY_PATH=$libdir "$build/example/c_summary" "$image" 65536 | tail -1
LD_LIBRARY_PATH=$libdir "$build/example-pc/c_summary" "$image" 65536 | tail -1
LD_LIBRARY_PATH=$libdir PYTHONPATH=$stage/lib/python3/dist-packages /usr/bin/python3 -c \
  'import sys, fsbmp; s = fsbmp.open(sys.argv[1]); print("python:", s.kind, len(s.bitmap(65536)))' \
  "$image"
"$stage/bin/fsbmp" info "$image" >/dev/null
# The nbdkit plugin, where the build has it: installed in nbdkit's plugin directory, and serving.
if [ -f "$build/nbdkit/nbdkit-fsbmp-plugin.so" ]; then
  plugin=$(find "$stage" -path '*/nbdkit/plugins/nbdkit-fsbmp-plugin.so' | head -1)
  [ -n "$plugin" ] || { echo "not installed: nbdkit-fsbmp-plugin.so"; exit 1; }
  [ -e "$stage/share/man/man1/nbdkit-fsbmp-plugin.1" ] ||
    { echo "not installed: nbdkit-fsbmp-plugin.1"; exit 1; }
  LD_LIBRARY_PATH=$libdir nbdkit -U - "$plugin" "$image" --run 'nbdinfo --map "$uri"' |
    grep -q 'hole,zero' || { echo "the installed nbdkit plugin serves no holes"; exit 1; }
fi
rm -f "$image"
echo "Installed package works."
