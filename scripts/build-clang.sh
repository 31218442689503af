#!/usr/bin/env bash
# The second compiler: builds every deliverable (src/) with Debian's clang for
# the MinGW-w64 targets, warnings as errors, so that code only GCC accepts
# fails here. BUILD_ROOT as in build.sh.
set -eu
cd "$(dirname "$0")/.."
root=${BUILD_ROOT:-build}
for arch in x86 x64; do
  dir=$root/clang-$arch
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake --preset "clang-$arch" -B "$dir" >/dev/null
  fi
  # ld notes that clang's and GCC's copies of a typeinfo name differ in size; harmless.
  if ! cmake --build "$dir" -j "$(nproc)" >"$dir/build.log" 2>&1; then
    grep -v "duplicate section .* has different size" "$dir/build.log" >&2
    echo "build-clang.sh: the clang build failed for $arch" >&2
    exit 1
  fi
done
echo "build-clang.sh: deliverables build with clang for x86 and x64"
