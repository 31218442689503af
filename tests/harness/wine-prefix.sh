#!/usr/bin/env bash
# wine-prefix.sh PREFIX: creates the throwaway 64-bit prefix once (x86 programs
# run in it through wine32). Safe to call from several tests at once.
set -u
prefix=$1
source "$(dirname "$(readlink -f "$0")")/host.sh"
[ -f "$prefix/.ready" ] && exit 0
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/.ready" ] && exit 0
rm -rf "$prefix"
# No display while creating: Wine would otherwise offer Mono and Gecko downloads.
env -u DISPLAY WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all \
    WINEDLLOVERRIDES="mscoree=;mshtml=" wine wineboot -i >/dev/null 2>&1 || {
  echo "wine-prefix.sh: wineboot failed for $prefix" >&2
  exit 1
}
touch "$prefix/.ready"
