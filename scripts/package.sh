#!/usr/bin/env bash
# Builds the release zips and Windows Installer packages, one of each per
# architecture (x86 and x64, or those named in ARCHES), under BUILD_ROOT:
# <root>/<arch>/packages/tif-printer-agent-<version>-<arch>.zip and .msi.
set -eu
cd "$(dirname "$0")/.."
root=${BUILD_ROOT:-build}
bash scripts/install-deps.sh
deliverables="agent winrelay uiplug jobsend"
contents="agent.exe winrelay.exe uiplug.dll jobsend.exe install.cmd uninstall.cmd admin-guide.md"
msi_contents="agent.exe winrelay.exe uiplug.dll jobsend.exe admin-guide.md"
for arch in ${ARCHES:-x86 x64}; do
  if [ ! -f "$root/$arch/CMakeCache.txt" ]; then
    cmake --preset "$arch" -B "$root/$arch" >/dev/null
  fi
  cmake --build "$root/$arch" --target $deliverables -j "$(nproc)"
  cpack --config "$root/$arch/CPackConfig.cmake" -G ZIP >/dev/null
  zip=$(ls -t "$root/$arch"/packages/tif-printer-agent-*-"$arch".zip | head -n 1)
  listing=$(unzip -Z1 "$zip")
  for file in $contents; do
    if ! grep -q "/$file\$" <<<"$listing"; then
      echo "package.sh: $zip lacks $file" >&2
      exit 1
    fi
  done
  echo "$zip"
  cmake --build "$root/$arch" --target msi
  msi=${zip%.zip}.msi
  files=$(msiinfo export "$msi" File | cut -f3)
  for file in $msi_contents; do
    if ! grep -qx "$file" <<<"$files"; then
      echo "package.sh: $msi lacks $file" >&2
      exit 1
    fi
  done
  echo "$msi"
done
