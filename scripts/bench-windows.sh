#!/usr/bin/env bash
# Speed under Wine: the port benchmark (flash_bench_port) built for Windows runs under Wine against
# the Linux paced simulator (pellorin-sim --pace) on a COM port that Wine maps to the simulator's
# pseudo-terminal, beside the same benchmark built for Linux on the same simulator: the DSP at
# 4800, 9600, 19200 and 38400 baud and the MCU (whose line always runs at 9600). Each run gets a
# fresh simulator, ready for blocks (no erase), whose transcript gives the figures: the bytes of the
# blocks and their acknowledgements at 10 bits each against the time they took on the line.
# A benchmark, not a test: it prints figures and asserts none (it fails only when an update does).
#
# First, what waiting costs: the processor time that pellorin-cli.exe under Wine (and its share of
# Wine's server) uses while it waits for a device that does not answer its erase command, beside
# the Linux pellorin-cli doing the same and beside a bare Win32 client (bare_wait, none of the
# tool's code) that waits on a quiet port in each of the two ways the tool's listener can wait:
# WaitCommEvent armed again as soon as it ends, and a pending one-byte read.
#
# Usage: scripts/bench-windows.sh [--blocks N] [--runs N] [--idle-seconds N]
#        (300 blocks, 1 run of each, 20 s of each idle wait by default; --idle-seconds 0 skips it)
#
# Builds what it needs: pellorin-sim, hexgen and flash_bench_port in build/ (configured without
# the Qt window when build/ is new), flash_bench_port.exe in build-windows/ (MinGW-w64), and uses
# the Wine prefix build-windows/wineprefix; installs the packages scripts/test-windows.sh installs.
#
# No COM number is left to Wine's defaults: Wine gives unmapped numbers to the machine's serial
# ports, starting with /dev/ttyS0, which on the build machines is the machine's own console. Every
# number from 1 to 255 is mapped explicitly (COM5 to the simulator's pseudo-terminal, the others to
# nothing), and nothing runs under Wine unless the check that none resolves to /dev/ttyS* passed.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
root=$PWD
linux_build=$root/build
windows_build=$root/build-windows
wine_port=5
blocks=300
runs=1
idle_seconds=20
while [ $# -gt 0 ]; do
  case "$1" in
    --blocks) blocks=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --idle-seconds) idle_seconds=$2; shift 2 ;;
    *) echo "usage: scripts/bench-windows.sh [--blocks N] [--runs N] [--idle-seconds N]" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh cmake g++ googletest nlohmann-json3-dev libcli11-dev g++-mingw-w64-x86-64-posix wine wine64

[ -f "$linux_build/CMakeCache.txt" ] || cmake -S . -B "$linux_build" -DPELLORIN_BUILD_APP=OFF >/dev/null
cmake --build "$linux_build" -j2 --target pellorin-sim hexgen flash_bench_port
[ -f "$windows_build/CMakeCache.txt" ] ||
  cmake -S . -B "$windows_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$windows_build" -j2 --target flash_bench_port bare_wait pellorin-cli
cmake --build "$linux_build" -j2 --target pellorin-cli
sim=$linux_build/sim/pellorin-sim
linux_bench=$linux_build/bench/flash/flash_bench_port
windows_bench=$windows_build/bench/flash/flash_bench_port.exe
linux_cli=$linux_build/cli/pellorin-cli
windows_cli=$windows_build/cli/pellorin-cli.exe
bare_wait=$windows_build/bench/serial/bare_wait.exe

# shellcheck source=scripts/wine-window-lib.sh
source scripts/wine-window-lib.sh
# shellcheck source=scripts/transcript-lib.sh
source scripts/transcript-lib.sh
scratch=$(mktemp -d /tmp/pellorin-bench-windows-XXXXXX)
cleanup() {
  transcript_sim_stop
  wine_window_cleanup
  rm -rf "$scratch"
}
trap cleanup EXIT
unset DISPLAY  # console programs only
wine_window_prefix "$windows_build/wineprefix" >/dev/null

# The DSP's image carries its verification record (7FFE), after the last data record.
"$linux_build/sim/hexgen" --out "$scratch/image.hex" --records "$blocks" --length 16 \
  --verify-line "$((blocks + 1))" >/dev/null

# cpu_ticks PID: the clock ticks of processor time (user and system) a process has used so far.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
# this_wineserver: the process id of this prefix's Wine server (other prefixes may have theirs).
this_wineserver() {
  local pid
  for pid in $(pgrep wineserver || true); do
    if tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      echo "$pid"
      return
    fi
  done
}
# idle_use PID SECONDS: the share of a core PID and this prefix's Wine server use over SECONDS
# ("program% server%"; "-" for no server).
idle_use() {
  local pid=$1 seconds=$2 server p0 p1 s0=0 s1=0 hz
  hz=$(getconf CLK_TCK)
  server=$(this_wineserver)
  p0=$(cpu_ticks "$pid")
  [ -n "$server" ] && s0=$(cpu_ticks "$server")
  sleep "$seconds"
  p1=$(cpu_ticks "$pid")
  [ -n "$server" ] && s1=$(cpu_ticks "$server")
  awk -v p=$((p1 - p0)) -v s=$((s1 - s0)) -v hz="$hz" -v t="$seconds" -v w="${server:+yes}" \
    'BEGIN { printf "%.1f%% %s\n", 100 * p / hz / t, w ? sprintf("%.1f%%", 100 * s / hz / t) : "-" }'
}

# idle_bare MODE: bare_wait waiting on a quiet port (COM5, a silent simulator) in MODE.
idle_bare() {
  local dir=$scratch/idle-bare-$1 pid
  transcript_sim_start "$sim" "$dir" 1 --silent-first-lines 1000000 || return 1
  wine_window_map_ports "$wine_port=$TRANSCRIPT_SIM_SLAVE" || return 1
  wine "$bare_wait" "COM$wine_port" $((idle_seconds + 4)) "$1" >"$dir/bare.out" 2>&1 &
  pid=$!
  sleep 2
  result=$(idle_use "$pid" "$idle_seconds")
  wait "$pid" || true
  transcript_sim_stop
  result="$result $(tr -d '\r' <"$dir/bare.out" | sed -n 's/.*ended \([0-9]*\) times.*/\1/p')"
}

# idle_tool SIDE: the tool updates the DSP against a simulator that never answers the erase
# command; measured once the erase has gone out, then interrupted.
idle_tool() {
  local side=$1 dir=$scratch/idle-tool-$1 pid
  transcript_sim_start "$sim" "$dir" 1 --erase-ms 0 --never-answer :efh || return 1
  if [ "$side" = linux ]; then
    wineserver -w  # nothing of Wine's runs beside the Linux tool
    PELLORIN_COM_DIR=$dir/ports XDG_STATE_HOME=$dir/state "$linux_cli" update dsp --port COM1 \
      --image "$scratch/idle.hex" >"$dir/cli.out" 2>&1 &
  else
    wine_window_map_ports "$wine_port=$TRANSCRIPT_SIM_SLAVE" || return 1
    wine "$windows_cli" update dsp --port "COM$wine_port" --image "Z:$scratch/idle.hex" \
      >"$dir/cli.out" 2>&1 &
  fi
  pid=$!
  for _ in $(seq 300); do
    grep -q ': ":efh"' "$dir/sim.log" 2>/dev/null && break
    sleep 0.1
  done
  result=$(idle_use "$pid" "$idle_seconds")
  kill -INT "$pid" 2>/dev/null || true
  wait "$pid" || true
  transcript_sim_stop
}

if [ "$idle_seconds" -gt 0 ]; then
  "$linux_build/sim/hexgen" --out "$scratch/idle.hex" --records 20 --length 16 --start 0x8000 \
    --verify-line 18 >/dev/null
  echo "Waiting, $idle_seconds s each: the share of one core the waiting program uses, and this"
  echo "Wine prefix's server beside it."
  echo
  printf '%-58s %8s %11s\n' "" "program" "wineserver"
  idle_bare event
  read -r program server ended <<<"$result"
  printf '%-58s %8s %11s\n' "bare client, WaitCommEvent armed again at once ($ended ends)" \
    "$program" "$server"
  idle_bare read
  read -r program server ended <<<"$result"
  printf '%-58s %8s %11s\n' "bare client, a pending one-byte read ($ended ends)" "$program" \
    "$server"
  idle_tool wine
  read -r program server <<<"$result"
  printf '%-58s %8s %11s\n' "pellorin-cli.exe, waiting for an unanswered erase" "$program" \
    "$server"
  idle_tool linux
  read -r program server <<<"$result"
  printf '%-58s %8s %11s\n' "Linux pellorin-cli, the same" "$program" "$server"
  echo
fi

# run_one SIDE JOB BAUD N: one update on a fresh simulator; sets `result` to the line-use words.
run_one() {
  local side=$1 job=$2 baud=$3 n=$4 dir status=0
  dir=$scratch/$side-$job-$baud-$n
  # A paced simulated inverter, ready for blocks, on a pseudo-terminal of its own.
  transcript_sim_start "$sim" "$dir" 1 --pace --erase-ms 0 --dsp-state 3 --mcu-state 3 || return 1
  if [ "$side" = linux ]; then
    PELLORIN_COM_DIR=$dir/ports "$linux_bench" update "$job" --port COM1 \
      --image "$scratch/image.hex" --baud "$baud" --record "$dir/records" >"$dir/bench.out" 2>&1 ||
      status=$?
  else
    wine_window_map_ports "$wine_port=$TRANSCRIPT_SIM_SLAVE" || return 1
    wine "$windows_bench" update "$job" --port "COM$wine_port" --image "Z:$scratch/image.hex" \
      --baud "$baud" --record "Z:$dir/records" >"$dir/bench.out" 2>&1 || status=$?
  fi
  transcript_sim_stop
  if [ "$status" -ne 0 ]; then
    echo "bench-windows: $side $job at $baud did not update:" >&2
    tr -d '\r' <"$dir/bench.out" | tail -20 >&2
    return 1
  fi
  result=$("$linux_bench" line-use --transcript "$dir/transcript.jsonl")
}

# word NAME WORDS: the value of NAME=value among WORDS.
word() { tr ' ' '\n' <<<"$2" | awk -F= -v k="$1" '$1 == k { print $2 }'; }

echo "Paced updates of $blocks blocks, $runs run(s) each, on the simulator's line clock: bytes of the"
echo "blocks and their acknowledgements at 10 bits a byte against the time they took (B/s and % of the"
echo "line's limit), and the tool's turnaround per block (median, ms: from the acknowledgement's last"
echo "byte to the next block's first byte)."
echo
printf '%-4s %6s %6s | %-22s | %-22s\n' "" "" "limit" "Linux" "Wine"
printf '%-4s %6s %6s | %6s %6s %8s | %6s %6s %8s\n' job line "B/s" "B/s" "%" "turn ms" \
  "B/s" "%" "turn ms"
for config in dsp:4800 dsp:9600 dsp:19200 dsp:38400 mcu:9600; do
  job=${config%%:*}
  baud=${config#*:}
  for n in $(seq "$runs"); do
    run_one linux "$job" "$baud" "$n"
    linux=$result
    run_one wine "$job" "$baud" "$n"
    wine=$result
    printf '%-4s %6s %6s | %6s %6s %8s | %6s %6s %8s\n' "$job" "$(word baud "$linux")" \
      "$(word limit_bytes_per_s "$linux")" \
      "$(word bytes_per_s "$linux")" "$(word percent "$linux")" "$(word turnaround_ms "$linux")" \
      "$(word bytes_per_s "$wine")" "$(word percent "$wine")" "$(word turnaround_ms "$wine")"
  done
done
