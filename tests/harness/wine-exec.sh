#!/usr/bin/env bash
# CTest's emulator: wine-exec.sh PREFIX PROGRAM [ARGS...]
# Runs a Windows program in the project's throwaway prefix, never the user's own.
set -u
prefix=$1; shift
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree=;mshtml=}
here=$(dirname "$(readlink -f "$0")")
source "$here/host.sh"
"$here/wine-prefix.sh" "$prefix" || exit 1
# Wine's own background processes (services, devices) start with the first
# program of a wineserver and keep its stdout open, which would hold CTest
# until they exit: start them first, detached from our output.
key=$(printf 'server-%x-%x' $(stat -L -c '%d %i' "$prefix"))
if ! ls /tmp/wine-*/"$key"/socket /tmp/.wine-"$(id -u)"/"$key"/socket >/dev/null 2>&1; then
  wine cmd /c exit </dev/null >/dev/null 2>&1
fi
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" wine "$@"
fi
exec wine "$@"
