#!/usr/bin/env bash
# Builds Debian packages of fsbmp the way Debian lays them out: libfsbmp0 (the shared library),
# libfsbmp-dev (headers, pkg-config and CMake files), fsbmp (the tool, its manual page and
# bash completion), python3-fsbmp (the Python package for the system's python3) and
# nbdkit-plugin-fsbmp (the nbdkit plugin in nbdkit's plugin directory, and its manual page), with
# dependencies from dpkg-shlibdeps. Then checks them: contents, that apt can resolve their
# dependencies here (simulated), and that the tool, the Python package and the plugin unpacked
# from them work.
#   scripts/build-debs.sh [OUT_DIR]            (default build/debs)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$(mkdir -p "${1:-build/debs}" && cd "${1:-build/debs}" && pwd)
build=$root/build/deb
plugindir=$(pkg-config --variable=plugindir nbdkit 2>/dev/null) ||
  { echo "nbdkit's plugin headers are missing (Debian: nbdkit-plugin-dev)"; exit 1; }
for tool in dpkg-deb dpkg-shlibdeps fakeroot; do
  command -v $tool >/dev/null || { echo "$tool is missing (Debian: dpkg-dev fakeroot)"; exit 1; }
done

# An installed layout: /usr prefix, multiarch library directory, no RPATH.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DFSBMP_BUILD_TESTS=OFF -DCMAKE_SKIP_INSTALL_RPATH=ON -DFSBMP_NBDKIT_PLUGIN=ON \
  -DFSBMP_NBDKIT_PLUGINDIR="${plugindir#/usr/}" >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" >/dev/null
stage=$build/stage
rm -rf "$stage" "$build/debian"
DESTDIR=$stage cmake --install "$build" >/dev/null

version=$(sed -n 's/^project(fsbmp VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
debversion=$version-1
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
libdir=usr/lib/$multiarch
soname=$(cd "$stage/$libdir" && ls libfsbmp.so.* | sed -n 's/^libfsbmp\.so\.\([0-9]*\)$/\1/p')
lib=libfsbmp$soname
[ -n "$soname" ] || { echo "no libfsbmp.so.N under $stage/$libdir"; exit 1; }

# One tree per package, as dpkg-shlibdeps expects them in debian/.
deb=$build/debian
pkg() { mkdir -p "$deb/$1/DEBIAN" "$deb/$1/usr/share/doc/$1"; }
move() {  # move PACKAGE PATH...: staged files into the package's tree
  local p=$1; shift
  for f in "$@"; do
    mkdir -p "$deb/$p/$(dirname "$f")"
    cp -a "$stage/$f" "$deb/$p/$f"
  done
}
pkg $lib; pkg libfsbmp-dev; pkg fsbmp; pkg python3-fsbmp; pkg nbdkit-plugin-fsbmp
(cd "$stage" && move $lib $(ls -d $libdir/libfsbmp.so.*))
(cd "$stage" && move libfsbmp-dev usr/include/fsbmp $libdir/libfsbmp.so $libdir/pkgconfig \
  $libdir/cmake)
(cd "$stage" && move fsbmp usr/bin/fsbmp usr/share/man/man1/fsbmp.1 \
  usr/share/bash-completion/completions/fsbmp)
(cd "$stage" && move python3-fsbmp usr/lib/python3/dist-packages/fsbmp)
(cd "$stage" && move nbdkit-plugin-fsbmp "${plugindir#/}/nbdkit-fsbmp-plugin.so" \
  usr/share/man/man1/nbdkit-fsbmp-plugin.1)
gzip -9n "$deb/fsbmp/usr/share/man/man1/fsbmp.1" \
  "$deb/nbdkit-plugin-fsbmp/usr/share/man/man1/nbdkit-fsbmp-plugin.1"
for p in $lib libfsbmp-dev fsbmp python3-fsbmp nbdkit-plugin-fsbmp; do
  cat >"$deb/$p/usr/share/doc/$p/copyright" <<COPYRIGHT
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: fsbmp
Comment: built from the fsbmp source tree by scripts/build-debs.sh
COPYRIGHT
done
strip --strip-unneeded --remove-section=.comment --remove-section=.note \
  "$deb/$lib/$libdir/libfsbmp.so.$version" "$deb/fsbmp/usr/bin/fsbmp" \
  "$deb/nbdkit-plugin-fsbmp${plugindir}/nbdkit-fsbmp-plugin.so"
echo "libfsbmp $soname $lib (>= $version)" >"$deb/$lib/DEBIAN/shlibs"
echo "activate-noawait ldconfig" >"$deb/$lib/DEBIAN/triggers"

# Dependencies from the binaries: each package's shared-library needs.
mkdir -p "$build/debian-src/debian"
cat >"$build/debian-src/debian/control" <<CONTROL
Source: fsbmp

Package: $lib
Architecture: any

Package: fsbmp
Architecture: any

Package: nbdkit-plugin-fsbmp
Architecture: any
CONTROL
shlibs() {  # shlibs FILE...
  (cd "$build/debian-src" && rm -rf debian/$lib && cp -a "$deb/$lib" debian/ &&
    dpkg-shlibdeps -O -l"debian/$lib/$libdir" "$@" 2>/dev/null |
    sed -n 's/^shlibs:Depends=//p')
}
libDepends=$(shlibs "$deb/$lib/$libdir/libfsbmp.so.$version")
toolDepends=$(shlibs "$deb/fsbmp/usr/bin/fsbmp")
# The plugin's nbdkit_* symbols come from nbdkit itself, which loads it.
pluginDepends="$(shlibs "$deb/nbdkit-plugin-fsbmp${plugindir}/nbdkit-fsbmp-plugin.so"), nbdkit"

control() {  # control PACKAGE SECTION DEPENDS SUMMARY DESCRIPTION [extra fields]
  local size
  size=$(du -sk --exclude=DEBIAN "$deb/$1" | cut -f1)
  {
    echo "Package: $1"
    echo "Version: $debversion"
    echo "Architecture: $arch"
    echo "Maintainer: fsbmp developers <fsbmp@localhost>"
    echo "Installed-Size: $size"
    echo "Section: $2"
    echo "Priority: optional"
    [ -n "$3" ] && echo "Depends: $3"
    [ -n "${6:-}" ] && echo "$6"
    echo "Description: $4"
    echo "$5" | fold -s -w 72 | sed 's/^/ /; s/ *$//'
  } >"$deb/$1/DEBIAN/control"
}
control $lib libs "$libDepends" "used-space bitmaps of block devices (library)" \
  "Recognises VxFS, ext2/3/4, ReiserFS and XFS on a block device or image, or a whole disk with its partitions and LVM volumes, and builds a bitmap of the chunks its file systems use, through a C++ and a C interface." \
  "Multi-Arch: same"
control libfsbmp-dev libdevel "$lib (= $debversion), libboost-dev" \
  "used-space bitmaps of block devices (development files)" \
  "Headers (the C++ classes and the C interface fsbmp_c.h), pkg-config file and CMake package of libfsbmp." \
  "Multi-Arch: same"
control fsbmp admin "$toolDepends" "used-space bitmaps, copies and maps of block devices" \
  "The fsbmp tool images a partition without its free space, writes its used ranges for other copiers (GNU ddrescue, nbdkit's extentlist filter) and draws how full a volume is."
control python3-fsbmp python "$lib (>= $version), python3" \
  "used-space bitmaps of block devices (Python 3)" \
  "The fsbmp module for the system's python3: fsbmp.open(path) gives a device's file-system kind, geometry, used-chunk bitmap and used byte ranges, through libfsbmp's C interface (ctypes)."
control nbdkit-plugin-fsbmp admin "$pluginDepends" \
  "nbdkit plugin serving a block device with its free space as holes" \
  "The fsbmp plugin for nbdkit serves a block device read-only, with the chunks its file system leaves free read as zeros and reported as holes, so that nbdcopy, qemu-img convert and backup tools reading NBD copy only the used space."

rm -f "$out"/*.deb
for p in $lib libfsbmp-dev fsbmp python3-fsbmp nbdkit-plugin-fsbmp; do
  find "$deb/$p" -type d -exec chmod 755 {} +
  fakeroot dpkg-deb -Zxz --build "$deb/$p" "$out/${p}_${debversion}_$arch.deb" >/dev/null
done

# Checks: the expected files, dependencies apt can satisfy, the tool running from the packages.
for f in "$out"/*.deb; do dpkg-deb --info "$f" >/dev/null; done
# Listings are read whole before they are searched: grep -q stopping early would break the pipe.
tool_files=$(dpkg-deb --contents "$out/fsbmp_${debversion}_$arch.deb")
dev_files=$(dpkg-deb --contents "$out/libfsbmp-dev_${debversion}_$arch.deb")
tool_depends=$(dpkg-deb --field "$out/fsbmp_${debversion}_$arch.deb" Depends)
plugin_files=$(dpkg-deb --contents "$out/nbdkit-plugin-fsbmp_${debversion}_$arch.deb")
plugin_depends=$(dpkg-deb --field "$out/nbdkit-plugin-fsbmp_${debversion}_$arch.deb" Depends)
py_files=$(dpkg-deb --contents "$out/python3-fsbmp_${debversion}_$arch.deb")
py_depends=$(dpkg-deb --field "$out/python3-fsbmp_${debversion}_$arch.deb" Depends)
grep -q 'bash-completion/completions/fsbmp$' <<<"$tool_files"
grep -q 'man1/fsbmp.1.gz$' <<<"$tool_files"
grep -q 'include/fsbmp/fsbmp.h$' <<<"$dev_files"
grep -q 'include/fsbmp/fsbmp_c.h$' <<<"$dev_files"
grep -q 'usr/lib/python3/dist-packages/fsbmp/__init__.py$' <<<"$py_files"
grep -qF "$lib (>= $version)" <<<"$py_depends" ||
  { echo "python3-fsbmp does not depend on $lib"; exit 1; }
grep -qF "$lib (>= $version)" <<<"$tool_depends" ||
  { echo "fsbmp does not depend on $lib"; exit 1; }
grep -q "\.${plugindir}/nbdkit-fsbmp-plugin\.so$" <<<"$plugin_files"
grep -q 'man1/nbdkit-fsbmp-plugin.1.gz$' <<<"$plugin_files"
grep -qF "$lib (>= $version)" <<<"$plugin_depends" && grep -qw nbdkit <<<"$plugin_depends" ||
  { echo "nbdkit-plugin-fsbmp does not depend on $lib and nbdkit"; exit 1; }
if command -v apt-get >/dev/null; then
  apt-get install --simulate "$out"/*.deb >"$build/apt-simulate.log" 2>&1 ||
    { cat "$build/apt-simulate.log"; exit 1; }
fi
if command -v lintian >/dev/null; then
  lintian --suppress-tags no-copyright-file,copyright-without-copyright-notice "$out"/*.deb || true
fi
unpacked=$build/unpacked
rm -rf "$unpacked"
for f in "$out"/*.deb; do dpkg-deb -x "$f" "$unpacked"; done
LD_LIBRARY_PATH=$unpacked/$libdir "$unpacked/usr/bin/fsbmp" --version >/dev/null
LD_LIBRARY_PATH=$unpacked/$libdir PYTHONPATH=$unpacked/usr/lib/python3/dist-packages \
  /usr/bin/python3 -c 'import fsbmp'
if command -v nbdkit >/dev/null; then
  LD_LIBRARY_PATH=$unpacked/$libdir nbdkit --dump-plugin \
    "$unpacked$plugindir/nbdkit-fsbmp-plugin.so" | grep -q '^name=fsbmp$'
fi
ls "$out"
echo "Debian packages built and checked."
