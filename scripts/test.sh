#!/usr/bin/env bash
# The whole test suite: installs what is missing, checks the sources' format,
# builds x86 and x64 (and the deliverables once more with clang), and runs
# every test program under Wine in a throwaway prefix inside the build tree,
# with a virtual display and one persistent wineserver for the run.
# Extra arguments go to ctest (for example -R pipe_srv).
set -eu
cd "$(dirname "$0")/.."
root=${BUILD_ROOT:-build}
bash scripts/install-deps.sh
bash scripts/check-format.sh
BUILD_ROOT=$root bash scripts/build.sh
BUILD_ROOT=$root bash scripts/build-clang.sh

source tests/harness/host.sh
if [ -z "${ARCHES:-}" ]; then
  ARCHES=$(host_arches)
  case " $ARCHES " in
    *" x86 "*) ;;
    *) echo "test.sh: this host cannot run 32-bit programs (no IA-32 support in its kernel):" \
            "x86 is built but its tests are not run" ;;
  esac
  export ARCHES
fi

prefix=$(readlink -f "$root")/wineprefix
tests/harness/wine-prefix.sh "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="

xvfb-run -a -s "-screen 0 1280x1024x24" tests/harness/run-suite.sh "$root" "$@"
