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
# expect_contents PACKAGE LISTING FILE...: fails unless LISTING names every FILE.
expect_contents() {
  local package=$1 listing=$2 file
  shift 2
  for file in "$@"; do
    if ! grep -qx "$file" <<<"$listing"; then
      echo "package.sh: $package lacks $file" >&2
      exit 1
    fi
  done
}
for arch in ${ARCHES:-x86 x64}; do
  if [ ! -f "$root/$arch/CMakeCache.txt" ]; then
    cmake --preset "$arch" -B "$root/$arch" >/dev/null
  fi
  cmake --build "$root/$arch" --target $deliverables -j "$(nproc)"
  cpack --config "$root/$arch/CPackConfig.cmake" -G ZIP >/dev/null
  zip=$(ls -t "$root/$arch"/packages/tif-printer-agent-*-"$arch".zip | head -n 1)
  expect_contents "$zip" "$(unzip -Z1 "$zip" | sed 's|.*/||')" $contents
  echo "$zip"
  cmake --build "$root/$arch" --target msi
  msi=${zip%.zip}.msi
  expect_contents "$msi" "$(msiinfo export "$msi" File | cut -f3)" $msi_contents
  echo "$msi"
done
