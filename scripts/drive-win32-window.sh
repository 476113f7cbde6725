#!/usr/bin/env bash
# Drives the real Pellorin.exe (the Windows window with the engine) under Wine on a virtual
# display, as an operator would, against the simulated inverter mapped as a COM port:
#   1. choose the port and the speed 38400, press "Update DSP" (Enter), wait for the end, take a
#      screenshot, open and close the About box, then check the simulator's summary (the image
#      stored matches dsp.hex, no protocol violation) and its transcript: byte for byte (time
#      stamps aside) what the device receives and sends when the Linux pellorin-cli does the same
#      job (scripts/transcript-lib.sh);
#   2. a second run on a slow device: press "Exit" (Tab to it, Space) while blocks are being
#      written, and check that the window has closed within 2 seconds and the program ended.
# Keys only.
#
#   scripts/drive-win32-window.sh [--exe build-windows/.../Pellorin.exe] [--linux-build build]
#                                 [--work DIR] [--end-timeout SECONDS] [--docs]
#
# Pellorin.exe and pellorin-read-window.exe (beside it) come from the Windows build
# (scripts/test-windows.sh); the simulator, the Linux pellorin-cli and the demo images from the
# Linux build (scripts/test.sh). What the window shows is read by pellorin-read-window.exe. --docs copies the screenshot of the window after
# the update to docs/win32-window.png.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
exe=""
linux_build=$root/build
work=""
end_timeout=180
docs=no
while [ $# -gt 0 ]; do
  case "$1" in
    --exe) exe=$2; shift 2 ;;
    --linux-build) linux_build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --end-timeout) end_timeout=$2; shift 2 ;;
    --docs) docs=yes; shift ;;
    *) echo "drive-win32-window: unknown option $1" >&2; exit 2 ;;
  esac
done
# Where the Windows build puts it (a search would also find the copy an earlier run left in its
# work folder, which this run deletes before it copies).
[ -n "$exe" ] || exe=$root/build-windows/win32/Pellorin.exe
[ -n "$exe" ] && [ -f "$exe" ] || {
  echo "drive-win32-window: no Pellorin.exe; build it with scripts/test-windows.sh or name it with --exe" >&2
  exit 2
}
sim=$linux_build/sim/pellorin-sim
linux_cli=$linux_build/cli/pellorin-cli
images=$linux_build/images
[ -x "$sim" ] && [ -x "$linux_cli" ] && [ -f "$images/dsp.hex" ] || {
  echo "drive-win32-window: no $sim, $linux_cli or $images/dsp.hex; run scripts/test.sh first" >&2
  exit 2
}
work=${work:-$root/build-windows/drive-win32-window}
com=5   # the COM number the simulator is mapped to

scripts/install-win32-window-deps.sh
source scripts/wine-window-lib.sh
source scripts/transcript-lib.sh
stop_sim() { transcript_sim_stop; }
cleanup() {
  wine_window_cleanup
  stop_sim
}
trap cleanup EXIT
trap 'exit 130' INT TERM

rm -rf "$work/app" "$work/ports" "$work/shots" "$work"/run*
mkdir -p "$work/app" "$work/shots"
# The program looks for its images in its own folder.
cp "$exe" "$work/app/Pellorin.exe"
reader=$(dirname "$exe")/pellorin-read-window.exe
[ -f "$reader" ] || { echo "drive-win32-window: no $reader beside Pellorin.exe" >&2; exit 2; }
cp "$reader" "$work/pellorin-read-window.exe"
reader=$work/pellorin-read-window.exe
cp "$images/dsp.hex" "$images/mcu.hex" "$work/app/"
shots=$work/shots

wine_window_display
wine_window_prefix "$work/wineprefix"

# start_sim RUN ARGS...: the simulated inverter on a fresh pseudo-terminal, mapped as COM$com;
# its trace (one line per command handled) goes to RUN/sim.log, its transcript and summary to
# RUN/transcript.jsonl and RUN/summary.json when it stops.
start_sim() {
  local run=$1
  shift
  transcript_sim_start "$sim" "$run" "$com" --image "$images/dsp.hex" "$@"
  wine_window_map_ports "$com=$TRANSCRIPT_SIM_SLAVE"
}

# wait_for_trace RUN PATTERN COUNT SECONDS: until the simulator's trace has COUNT lines matching.
wait_for_trace() {
  local log=$1/sim.log pattern=$2 count=$3 tenths=$(($4 * 10))
  for _ in $(seq "$tenths"); do
    [ "$(grep -c -- "$pattern" "$log" 2>/dev/null || true)" -ge "$count" ] && return 0
    sleep 0.1
  done
  return 1
}

# Run 1: a whole DSP update at 38400, on a device that paces the line as a real one (its reply
# cannot come back before Wine has completed the command's write, see test-windows.sh).
run=$work/run1
run1_device=(--erase-ms 2000 --pace)
start_sim "$run" "${run1_device[@]}"
wine_window_start "$work/app/Pellorin.exe"
window=$(wine_window_find Pellorin 60) || { echo "drive: the window did not appear" >&2; exit 1; }
sleep 1
wine_window_shot "$shots/1-start.png" "$window"
# COM$com is the only port and is selected. The speed field is the last tab stop: Shift+Tab from
# the port field, Down: "38400"; Tab back to the port field; Enter is "Update DSP".
wine_window_keys "$window" shift+Tab Down Tab Return
# The leave command "SV" is the update's last; the port closes a second later.
if ! wait_for_trace "$run" '"SV"' 1 "$end_timeout"; then
  echo "drive: the update did not reach its end; the simulator's trace is in $run/sim.log" >&2
  exit 1
fi
sleep 3
wine_window_shot "$shots/2-after-update.png" "$window"
# The window's own account: the log ends as a whole update does, the fields at the image's end.
blocks=$(grep -c '' "$images/dsp.hex")
shown=$shots/2-after-update.txt
wine_window_read "$reader" "$shown"
wine_window_expect "$shown" "port: COM$com" "speed-field: 38400" "total: $blocks" \
  "written: $blocks" "percent: 100%" "bar: $blocks of $blocks" "button-1: enabled" \
  "log: COM$com was opened!" "log: Total blocks:$blocks" "log: Verify flash data ok!"
[ "$(sed -n 's/^log: //p' "$shown" | head -1)" = "Com was closed" ] ||
  { echo "drive: the log's newest line is not \"Com was closed\"" >&2; cat "$shown" >&2; exit 1; }
[ "$docs" = yes ] && cp "$shots/2-after-update.png" docs/win32-window.png
wine_window_about "$window" "$shots/3-about.png"
wine_window_keys "$window" Escape
wine_window_wait_exit "$WINE_WINDOW_PID" 5 || { echo "drive: the program did not end after Esc" >&2; exit 1; }
stop_sim
python3 - "$run/summary.json" <<'PY'
import json, sys
summary = json.load(open(sys.argv[1]))
if not summary.get("imageMatches") or summary.get("violations"):
    sys.exit(f"drive: the device's summary says the update failed: {summary}")
print(f"drive: update 1 stored the image ({summary.get('dspBlocksStored')} blocks), no violations")
PY
# The same job from the Linux pellorin-cli, on the same device: the device must have seen the
# same exchange from the window.
transcript_linux_run "$sim" "$linux_cli" "$work/run1-linux" dsp "$images/dsp.hex" 38400 \
  --image "$images/dsp.hex" "${run1_device[@]}"
transcript_compare "$work/run1-linux/transcript.jsonl" "$run/transcript.jsonl" \
  "Pellorin.exe \"Update DSP\" at 38400"

# Run 2: "Exit" while blocks are being written, on a device that takes 20 ms a block.
run=$work/run2
start_sim "$run" --erase-ms 0 --block-ms 20
wine_window_start "$work/app/Pellorin.exe"
window=$(wine_window_find Pellorin 60) || { echo "drive: the window did not appear" >&2; exit 1; }
sleep 1
wine_window_keys "$window" Return
if ! wait_for_trace "$run" '^sim: ' 40 60; then
  echo "drive: the second update did not start writing blocks; see $run/sim.log" >&2
  exit 1
fi
wine_window_read "$reader" "$run/before-exit.txt"
wine_window_expect "$run/before-exit.txt" "button-1: disabled" "button-3: disabled"
# From the port field, Tab passes over the greyed "Update DSP" to "Exit"; Space presses it.
wine_window_keys "$window" Tab
xdotool key --window "$window" space 2>/dev/null || true
if ! closed_ms=$(wine_window_wait_closed "$window" 2000); then
  echo "drive: the window was still shown 2 s after Exit" >&2
  exit 1
fi
if ! wine_window_wait_exit "$WINE_WINDOW_PID" 5; then
  echo "drive: the window closed but the program did not end" >&2
  exit 1
fi
echo "drive: Exit during the update closed the window after $closed_ms ms"
stop_sim
echo "drive: passed; screenshots in $shots"
