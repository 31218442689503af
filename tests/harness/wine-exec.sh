#!/usr/bin/env bash
# CTest's emulator: wine-exec.sh PREFIX PROGRAM [ARGS...]
# Runs a Windows program in the project's throwaway prefix, never the user's own.
set -u
prefix=$1; shift
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree=;mshtml=}
here=$(dirname "$(readlink -f "$0")")
"$here/wine-prefix.sh" "$prefix" || exit 1
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" wine "$@"
fi
exec wine "$@"
