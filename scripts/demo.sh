#!/usr/bin/env bash
# A whole update against the simulated inverter: installs what is missing, builds, starts the
# simulated inverter on a pseudo-terminal published as COM1, puts the demo images beside the
# program and opens the window; closing the window stops the simulator. Without a display the
# same window runs offscreen, driven as an operator would drive it, and a screenshot is saved.
#
#   scripts/demo.sh                      window if there is a display, else the offscreen run
#   scripts/demo.sh --offscreen          the offscreen run in any case
# Environment: PELLORIN_DEMO_CLOCK_SCALE (default 8: program time runs eight times faster, for
# the tool and the simulator alike), PELLORIN_DEMO_SCREENSHOT (default build/pellorin-demo.png),
# PELLORIN_BUILD_DIR (default build).
set -euo pipefail
cd "$(dirname "$0")/.."

offscreen=""
for arg in "$@"; do
  case "$arg" in
    --offscreen) offscreen=1 ;;
    *) echo "usage: $0 [--offscreen]" >&2; exit 2 ;;
  esac
done
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then offscreen=1; fi

build="${PELLORIN_BUILD_DIR:-build}"
scripts/install-deps.sh
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j2 --target Pellorin pellorin-demo pellorin-sim demo_images

work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The program looks for its images in its own folder.
cp "$build/images/dsp.hex" "$build/images/mcu.hex" "$build/app/"

# Both programs run on a clock eight times as fast as the wall clock; the line is paced at its
# rate on that clock, so the window shows the times and speeds of a real line.
export PELLORIN_CLOCK_SCALE="${PELLORIN_DEMO_CLOCK_SCALE:-8}"
export PELLORIN_COM_DIR="$work/com"
mkdir -p "$PELLORIN_COM_DIR"
# The device answers the end-of-erase query when its two-second erase is over.
"$build/sim/pellorin-sim" --com-dir "$PELLORIN_COM_DIR" --com 1 --erase-ms 2000 --pace \
  >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  [ -e "$PELLORIN_COM_DIR/com1" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.log" >&2; exit 1; }
  sleep 0.1
done
[ -e "$PELLORIN_COM_DIR/com1" ] || { echo "demo: the simulator did not publish com1" >&2; exit 1; }
echo "demo: simulated inverter on $(readlink "$PELLORIN_COM_DIR/com1"), published as COM1"

if [ -z "$offscreen" ]; then
  echo "demo: opening the window; pick COM1, press \"Update DSP\" or \"Update MCU\"; close it to end"
  "$build/app/Pellorin"
else
  screenshot="${PELLORIN_DEMO_SCREENSHOT:-$build/pellorin-demo.png}"
  echo "demo: no display; driving the window offscreen"
  QT_QPA_PLATFORM=offscreen "$build/app/pellorin-demo" --screenshot "$screenshot"
fi
