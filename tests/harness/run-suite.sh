#!/usr/bin/env bash
# run-suite.sh BUILD_ROOT [ctest args...]: runs under the virtual display that
# scripts/test.sh provides, with one persistent wineserver for the whole run.
set -u
root=$1; shift
wineserver -k 2>/dev/null || true
wineserver -p
# Start Wine's background processes detached from CTest's output pipes.
wine cmd /c exit </dev/null >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null || true' EXIT
status=0
failed=
for arch in ${ARCHES:-x86 x64}; do
  echo "=== tests: $arch ==="
  ctest --test-dir "$root/$arch" --output-on-failure --no-tests=error "$@" || {
    status=1
    failed="$failed $arch"
  }
done
# Where each failure happened, once more at the very end of the output.
for arch in $failed; do
  echo "=== failed tests: $arch ==="
  bash "$(dirname "$0")/failure-digest.sh" "$root/$arch/Testing/Temporary/LastTest.log"
done
exit $status
