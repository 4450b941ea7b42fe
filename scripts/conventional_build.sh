#!/usr/bin/env bash
# Builds the project the way a packager or a newcomer does, without the presets: a Release
# build with the tests, `cmake -B DIR -DCMAKE_BUILD_TYPE=Release && cmake --build DIR`, once with
# g++ and once with clang 14 (installing what is missing). Warnings are not errors in such a
# build, so this script fails on any warning itself.
# Usage: scripts/conventional_build.sh [gcc|clang]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
compilers=("$@")
((${#compilers[@]} > 0)) || compilers=(gcc clang)
scripts/deps.sh build test fuzz
for compiler in "${compilers[@]}"; do
  case "$compiler" in
    gcc) export CC=gcc CXX=g++ ;;
    clang) export CC=clang-14 CXX=clang++-14 ;;
    *) echo "usage: $0 [gcc|clang]..." >&2; exit 2 ;;
  esac
  dir=build/conventional-$compiler
  log=$dir.log
  rm -rf "$dir"
  cmake -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$dir" -j"$(nproc)" >"$log" 2>&1 || { tail -n 60 "$log" >&2; exit 1; }
  if grep -q 'warning:' "$log"; then
    grep -A5 'warning:' "$log" | head -n 60 >&2
    echo "conventional_build.sh: $compiler build has warnings" >&2
    exit 1
  fi
  echo "conventional $compiler build: clean"
done
