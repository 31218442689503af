#!/usr/bin/env bash
# Builds the x86 and x64 trees (or those named in ARCHES) under BUILD_ROOT.
set -eu
cd "$(dirname "$0")/.."
root=${BUILD_ROOT:-build}
for arch in ${ARCHES:-x86 x64}; do
  if [ ! -f "$root/$arch/CMakeCache.txt" ]; then
    cmake --preset "$arch" -B "$root/$arch" >/dev/null
  fi
  cmake --build "$root/$arch" -j "$(nproc)"
done
