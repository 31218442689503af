#!/usr/bin/env bash
# Fails when a C++ source of the tree is not formatted by the checked-in
# .clang-format; with --fix formats them in place.
set -eu
cd "$(dirname "$0")/.."
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  mapfile -t files < <(find src tests tools bench -name '*.cpp' -o -name '*.h' | sort)
fi
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
report=$(mktemp)
trap 'rm -f "$report"' EXIT
if ! clang-format --dry-run --Werror "${files[@]}" 2>"$report"; then
  head -40 "$report"
  echo "check-format: the files above are not formatted; run: bash scripts/check-format.sh --fix" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
