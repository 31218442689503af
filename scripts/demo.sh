#!/usr/bin/env bash
# The system's main job. For now: build the deliverables that exist and show them.
set -eu
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
for arch in x86 x64; do
  echo "== $arch =="
  for f in build/$arch/bin/agent.exe build/$arch/bin/winrelay.exe build/$arch/bin/uiplug.dll; do
    [ -f "$f" ] || continue
    echo "$f imports: $(x86_64-w64-mingw32-objdump -p "$f" | awk '/DLL Name/ {print $3}' | tr '\n' ' ')"
  done
done
