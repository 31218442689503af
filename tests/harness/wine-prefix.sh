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
# No display while creating: Wine would otherwise offer Mono and Gecko downloads.
# A loaded machine now and then fails a first boot; it is tried three times.
for attempt in 1 2 3; do
  rm -rf "$prefix"
  if env -u DISPLAY WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all \
      WINEDLLOVERRIDES="mscoree=;mshtml=" wine wineboot -i >"$prefix.boot.log" 2>&1; then
    rm -f "$prefix.boot.log"
    touch "$prefix/.ready"
    exit 0
  fi
  echo "wine-prefix.sh: wineboot failed for $prefix (attempt $attempt)" >&2
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null
  sleep 2
done
tail -20 "$prefix.boot.log" >&2
exit 1
