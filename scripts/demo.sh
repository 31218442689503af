#!/usr/bin/env bash
# The system's main job, for real: builds what is needed, installs agent.exe as
# the Wine service "Agent" with a ready demo configuration (one printer, its
# settings, an installation directory with the demo programs), prints one job
# through jobsend and shows it arriving in the demo viewer. Results land in
# build/demo/: the viewer's screenshot, the converter's TIFF and the log.
# BUILD_ROOT=dir builds and works elsewhere.
set -eu
cd "$(dirname "$0")/.."
root=${BUILD_ROOT:-build}

printer="Corvix TIF Printer"
settings_key='Tavirel\CorvixDemo'
viewer_title="Corvix Job Viewer"
out=$root/demo

source tests/harness/host.sh
# x86, the printer's own architecture, where this host can run it; x64 otherwise.
arch=${DEMO_ARCH:-$(host_arches | cut -d' ' -f1)}

if [ "${1:-}" != "--on-display" ]; then
  bash scripts/install-deps.sh
  echo "demo: $arch programs"
  [ -f "$root/$arch/CMakeCache.txt" ] || cmake --preset "$arch" -B "$root/$arch" >/dev/null
  cmake --build "$root/$arch" -j "$(nproc)" \
    --target agent winrelay jobsend jobdisp job_viewer progress_standin
  prefix=$(readlink -f "$root")/demo-prefix
  tests/harness/wine-prefix.sh "$prefix"
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
  export BUILD_ROOT=$root DEMO_ARCH=$arch
  exec xvfb-run -a -s "-screen 0 1024x1000x24" bash "$0" --on-display
fi

step() { printf '\n== %s\n' "$*"; }
drive=$WINEPREFIX/drive_c
bin=$root/$arch/bin
install=$drive/Corvix

# A service lives only as long as the prefix's wineserver; a fresh one makes
# every window of this run appear on this run's display.
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT

step "Installation directory C:\\Corvix"
rm -rf "$install" "$drive/spool" "$out"
mkdir -p "$install" "$drive/spool" "$drive/tmp" "$out"
rm -f "$drive/tmp/log"   # c:\tmp exists, so the diagnostic log is on
cp "$bin/agent.exe" "$bin/winrelay.exe" "$bin/job_viewer.exe" "$install/"
cp "$bin/jobdisp.exe" "$install/jobdisp.exe"            # the reference converter (GDI+)
cp "$bin/progress_standin.exe" "$install/progress.exe"  # a small progress window
printf '[progress]\r\nRecord=C:\\Corvix\\progress.txt\r\n' > "$install/progress.ini"
ls "$install"

step "Configuration in the registry"
reg() { wine reg add "$@" /f >/dev/null; }
reg 'HKLM\Software\Tavirel\SrvCfg' /v count /t REG_DWORD /d 1
reg 'HKLM\Software\Tavirel\SrvCfg' /v printer1 /t REG_SZ /d "$printer;$settings_key"
# The printer's settings, machine-wide and as the user's own copy, which the
# agent reads first for the per-user values.
for key in "HKLM\\Software\\$settings_key" "HKCU\\Software\\$settings_key"; do
  reg "$key" /v "Allow domain session" /t REG_DWORD /d 1   # Wine has no user sessions:
  reg "$key" /v "Allow self session" /t REG_DWORD /d 1     # the job runs in the service's own
  reg "$key" /v "Installation Directory" /t REG_SZ /d 'C:\Corvix'
  reg "$key" /v "Preprocessing: Enabled" /t REG_DWORD /d 0
  reg "$key" /v "Preprocessing: Application" /t REG_SZ /d ""
  reg "$key" /v "Client Application" /t REG_SZ /d 'C:\Corvix\job_viewer.exe'
  reg "$key" /v "Transfer Mode" /t REG_DWORD /d 1
  reg "$key" /v "Target window title" /t REG_SZ /d "$viewer_title"
  reg "$key" /v "Message ID" /t REG_DWORD /d 7
  reg "$key" /v "Timeout" /t REG_DWORD /d 15000
  reg "$key" /v "Output Directory" /t REG_SZ /d 'C:\spool'
  reg "$key" /v "Preprocessing: Skip" /t REG_DWORD /d 0
  reg "$key" /v "Application: Skip" /t REG_DWORD /d 0
done
echo "printer \"$printer\" -> HKLM\\Software\\$settings_key (transfer mode 1 to \"$viewer_title\")"

step "The service \"Agent\""
wine sc delete Agent >/dev/null 2>&1 || true
wine sc create Agent binpath= 'C:\Corvix\agent.exe' >/dev/null
wine net start Agent

step "Printing one job with jobsend"
echo "No viewer is open yet: windows opened from the shell are out of reach of the"
echo "programs a Wine service starts, so the agent opens the viewer itself (winrelay"
echo "finds no window, the agent starts the client application, winrelay runs again)."
wine "$bin/jobsend.exe" --printer "$printer" --user demo --make-job 'C:\spool' | tr -d '\r'

step "Waiting for the viewer to receive the job"
record=$install/job_viewer.txt
for _ in $(seq 1 120); do
  [ -s "$record" ] && [ -s "$install/job_viewer.png" ] && break
  sleep 0.5
done
if [ ! -s "$record" ]; then
  echo "the job did not reach the viewer; the log:" >&2
  cat "$drive/tmp/log" >&2 || true
  exit 1
fi
tr -d '\r' < "$record"
sleep 1   # let the viewer paint before the screenshot

ini=$(ls "$drive"/spool/*.ini | head -1)
spool=$(tr -d '\r' < "$ini" | sed -n 's/^File0=//p' | head -1)
tiff=$(tr -d '\r' < "$ini" | sed -n '/^\[Output\]/,/^\[/s/^File0=//p' | head -1)

step "The job ini ($(basename "$ini"))"
tr -d '\r' < "$ini"

step "The converter's output"
tiff_unix=$drive/${tiff#[Cc]:\\}
tiff_unix=${tiff_unix//\\//}
if [ -f "$tiff_unix" ]; then
  cp "$tiff_unix" "$out/job.tif"
  identify "$out/job.tif" | sed "s|^$out/||"
else
  echo "no TIFF at $tiff"
fi

step "The spool file"
spool_unix=$drive/${spool#[Cc]:\\}
spool_unix=${spool_unix//\\//}
if [ -e "$spool_unix" ]; then echo "$spool is still there"; else echo "$spool was removed"; fi

step "Screenshot of the viewer"
if xwd -silent -name "$viewer_title" -out "$out/viewer.xwd" 2>/dev/null; then
  convert "$out/viewer.xwd" "$out/viewer.png"
  rm -f "$out/viewer.xwd"
  echo "$out/viewer.png (taken from the virtual display)"
else
  # Wine may keep the windows of the service's window station off the X display;
  # the viewer then saves the picture it paints itself.
  echo "the viewer's window is not on the X display (Wine keeps the service's"
  echo "window station off it here); using the picture the viewer painted itself"
  convert "$install/job_viewer.png" "$out/viewer.png"
  echo "$out/viewer.png"
fi

step "Stopping the service"
wine net stop Agent
wine sc query Agent | tr -d '\r' | grep -E "STATE|EXIT_CODE"
wine sc delete Agent >/dev/null

step "The diagnostic log (c:\\tmp\\log)"
cp "$drive/tmp/log" "$out/log.txt"
tr -d '\r' < "$out/log.txt"
echo
echo "Done: $out/viewer.png, $out/job.tif, $out/log.txt"
