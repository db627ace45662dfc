#!/usr/bin/env bash
# Checks that the project's C and C++ sources are formatted as .clang-format says.
# `clang-format -i FILE...` formats them.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v clang-format >/dev/null || { echo "clang-format is missing (Debian: clang-format)"; exit 1; }
mapfile -t files < <(find src include tools tests fuzz bench examples nbdkit \
  \( -path fuzz/corpus -o -path fuzz/images \) -prune -o \
  -type f \( -name '*.cpp' -o -name '*.c' -o -name '*.h' \) -print | sort)
if ! out=$(clang-format --dry-run -Werror "${files[@]}" 2>&1); then
  printf '%s\n' "$out" | head -n 60
  echo "Not formatted as .clang-format says ($(clang-format --version)):"
  printf '%s\n' "$out" | sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error: code should be clang-formatted.*/  \1/p' |
    sort -u
  exit 1
fi
echo "${#files[@]} sources formatted."
