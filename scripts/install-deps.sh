#!/usr/bin/env bash
# Installs, on Debian, what building, testing and the demo need. Installs only what is missing.
set -euo pipefail

packages=(
  cmake make g++ libboost-dev libgtest-dev googletest    # build and unit tests
  g++-powerpc64-linux-gnu qemu-user                      # big-endian PowerPC build and run
  e2fsprogs xfsprogs reiserfsprogs btrfs-progs           # real images and oracles
  xxhash                                                 # the hashes' reference tool
  partclone gddrescue util-linux fdisk lvm2              # peers, loop devices, sfdisk, LVM
  mdadm                                                  # md superblocks read back (--examine)
  cryptsetup-bin                                         # LUKS containers and luksDump
  thin-provisioning-tools                                # thin pool metadata (thin_restore, thin_check)
  libpng-dev nlohmann-json3-dev pkg-config               # the tool's PNG maps and JSON
  clang libclang-rt-14-dev                               # fuzzing smoke run (libFuzzer)
  clang-format                                           # the sources' format check
  dpkg-dev fakeroot                                      # Debian packages
  python3 python3-pytest                                 # the Python package and its tests
  nbdkit nbdkit-plugin-dev libnbd-bin qemu-utils         # the nbdkit plugin, extentlist, NBD clients
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
