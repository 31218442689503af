#!/usr/bin/env bash
# The whole benchmark set on a built tree, bounded in time (at most 15 minutes):
# every figure against a baseline measured in the same run, one line per
# figure with "ok" or "short" at the end. Figures are measured on x64 (this
# kind of host cannot run x86 programs).
#
#   BUILD_ROOT=build bash bench/run-all.sh
#
# The programs' full reports are kept in BUILD_ROOT/bench-results/.
set -u
cd "$(dirname "$0")/.."
root=$(readlink -f "${BUILD_ROOT:-build}")
bin=$root/x64/bin
results=$root/bench-results
for program in agent_figures intake_bench agent.exe; do
  [ -f "$bin/${program%.exe}.exe" ] || { echo "run-all: $bin/${program%.exe}.exe is missing: build x64 first" >&2; exit 1; }
done

# One virtual display for the whole run.
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi

source tests/harness/host.sh
export WINEPREFIX=$root/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
tests/harness/wine-prefix.sh "$WINEPREFIX" || exit 1
# Services live while a persistent wineserver does; Wine's own background
# processes start detached from our output.
wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1
trap 'wineserver -k' EXIT
mkdir -p "$results"

# step NAME SECONDS PROGRAM ARGS...: runs one program within its share of the
# time and prints its figure lines.
step() {
  local name=$1 limit=$2
  shift 2
  timeout -k 10 "$limit" wine "$bin/$1" "${@:2}" </dev/null >"$results/$name.txt" 2>&1
  local code=$?
  grep '^figure ' "$results/$name.txt" ||
    echo "figure $name: none (exit code $code, see $results/$name.txt) short"
  # A program cut off by its time-out leaves the service behind: remove it.
  if [ "$code" = 124 ] || [ "$code" = 137 ]; then
    wine net stop Agent </dev/null >/dev/null 2>&1
    wine sc delete Agent </dev/null >/dev/null 2>&1
  fi
}

started=$(date +%s)
# Each program ends its measuring at --limit-s and reports what it has; the
# step's time-out covers start-up and warm-up besides.
step overhead 220 agent_figures.exe overhead --jobs 100 --limit-s 150
step overhead-log-on 110 agent_figures.exe overhead --jobs 40 --log on --limit-s 50
step queue 130 agent_figures.exe queue --jobs 24 --convert-ms 4000
step idle 130 agent_figures.exe idle --seconds 60
step growth 200 agent_figures.exe growth --jobs 1000 --limit-s 120
# The intake benchmark prints its own report: its ratio becomes the figure.
timeout -k 10 100 wine "$bin/intake_bench.exe" </dev/null >"$results/intake.txt" 2>&1
ratio=$(sed -n 's/^ratio: \([0-9.]*\).*/\1/p' "$results/intake.txt")
if [ -n "$ratio" ]; then
  verdict=$(awk -v r="$ratio" 'BEGIN { print (r >= 0.9 ? "ok" : "short") }')
  echo "figure intake: pipe server against the bare one-instance loop, ratio $ratio (target >= 0.90) $verdict"
else
  echo "figure intake: none (see $results/intake.txt) short"
fi
echo "run-all: $(( $(date +%s) - started )) s; reports in $results"
