#!/usr/bin/env bash
# Builds the Windows port (MinGW-w64 cross build in build-windows/) and proves it under Wine:
#   1. the platform and serial suites, on two COM ports that Wine maps to pseudo-terminals joined
#      by a null-modem relay;
#   2. pellorin-cli.exe update dsp and update mcu against the Linux simulated inverter on a COM
#      port mapped to the simulator's pseudo-terminal: the device's transcript must be the same,
#      byte for byte (time stamps aside), as for the Linux pellorin-cli doing the same job;
#   3. pellorin-cli.exe update dsp through ser2net (RFC 2217) on the loopback address in front of
#      the simulator's pseudo-terminal: Winsock under Wine talking to the Linux server, with the
#      same transcript as the Linux tool's local run;
#   4. the native window Pellorin.exe, driven by keys (scripts/drive-win32-window.sh).
# Installs what it needs (as root, or through sudo). The Linux build in build/ provides the
# simulator, the Linux pellorin-cli and the demo images (made here when missing).
#
# No COM number is left to Wine's defaults: Wine gives unmapped numbers to the machine's serial
# ports, starting with /dev/ttyS0, which on the build machines is the machine's own console.
# The script maps every number the tests use and refuses to run if any mapping names /dev/ttyS*.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-windows
test_port=COM5
test_peer=COM6
cli_com=7   # the COM number of the simulator in the end-to-end updates

scripts/install-deps.sh cmake g++ googletest nlohmann-json3-dev g++-mingw-w64-x86-64-posix wine wine64 ser2net

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
cmake --build "$build" -j2
g++ -O2 -Wall -o "$build/nullmodem" tests/serial/NullModem.cpp -lutil

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
relay=""
server=""
cleanup() {
  wineserver -k 2>/dev/null || true
  [ -n "$relay" ] && kill "$relay" 2>/dev/null || true
  [ -n "$server" ] && kill "$server" 2>/dev/null || true
  transcript_sim_stop
}
trap cleanup EXIT

"$build/nullmodem" 1 >"$build/nullmodem.ports" &
relay=$!
for _ in $(seq 100); do [ -s "$build/nullmodem.ports" ] && break; sleep 0.05; done
read -r port_device peer_device <"$build/nullmodem.ports"

for device in "$port_device" "$peer_device"; do
  case "$device" in
    /dev/pts/*) ;;
    *) echo "test-windows: the relay's line is '${device}', not a pseudo-terminal; refusing to run" >&2; exit 1 ;;
  esac
done

[ -f "$WINEPREFIX/system.reg" ] || { wine wineboot -i </dev/null >/dev/null 2>&1; wineserver -w; }
# Every COM number from 1 to 255 is mapped: the two of the relay to its pseudo-terminals, all
# others to nothing; the mapping stops the run if any number resolves to /dev/ttyS* or a used
# one to anything but its pseudo-terminal.
source scripts/wine-window-lib.sh
source scripts/transcript-lib.sh
wine_window_map_ports "${test_port#COM}=$port_device" "${test_peer#COM}=$peer_device"

# No persistent Wine server: Wine's background programs (services, devices) start with the first
# program of each run and end a few seconds after its last, which is when a new mapping of the
# COM numbers takes effect; kept alive they would also hold ctest's output pipe open for good.
export PELLORIN_TEST_PORT=$test_port PELLORIN_TEST_PEER=$test_peer
ctest --test-dir "$build" --output-on-failure
# The port list is the system's device map without the numbers Wine maps to nothing (Wine keeps
# a device for each of them): the two mapped numbers alone, each free, found without an open.
# The remote ports of earlier runs in this prefix (the ser2net update below), which the list
# names after the COM ports, are not the system's and are left out here.
listed=$(wine "$build/cli/pellorin-cli.exe" ports | tr -d '\r' | awk '$1 ~ /^COM[0-9]+$/ {print $1, $NF}' |
  tr '\n' ' ')
if [ "$listed" != "$test_port free $test_peer free " ]; then
  echo "test-windows: pellorin-cli.exe ports lists '$listed'; expected $test_port and $test_peer" \
       "alone, each free" >&2
  exit 1
fi
echo "test-windows: pellorin-cli.exe ports lists the mapped numbers alone: $listed"
kill "$relay" 2>/dev/null || true
relay=""

# The Linux side of the end-to-end runs: the simulator, the Linux pellorin-cli, the demo images
# (the README's test command makes them all; built here when missing or out of date).
[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
cmake --build build -j2 --target pellorin-sim pellorin-cli hexgen demo_images
sim=$root/build/sim/pellorin-sim
linux_cli=$root/build/cli/pellorin-cli
cli_exe=$build/cli/pellorin-cli.exe
e2e=$build/e2e
rm -rf "$e2e" && mkdir -p "$e2e"
# Images of their own, smaller than the demo images so that the paced runs stay short: a DSP image
# with its verification record, an MCU image that passes a 64 KiB boundary.
build/sim/hexgen --out "$e2e/dsp.hex" --records 400 --length 16 --start 0x8000 --verify-line 390 \
  --seed 3
build/sim/hexgen --out "$e2e/mcu.hex" --records 200 --length 32 --start 0xF000 --crlf --seed 4

# windows_cli_run RUN TARGET IMAGE BAUD SIMARGS...: pellorin-cli.exe under Wine does the job on
# COM$cli_com, mapped to a fresh simulator's pseudo-terminal (every other number to nothing).
windows_cli_run() {
  local run=$1 target=$2 image=$3 baud=$4 start status=0
  shift 4
  transcript_sim_start "$sim" "$run" "$cli_com" "$@"
  wine_window_map_ports "$cli_com=$TRANSCRIPT_SIM_SLAVE"
  start=$(date +%s%N)
  # Standard error gets the serial layer's trace lines.
  wine "$cli_exe" update "$target" --port "COM$cli_com" --image "Z:${image//\//\\}" \
    --baud "$baud" >"$run/cli.out" 2>"$run/cli.err" || status=$?
  TRANSCRIPT_JOB_MS=$((($(date +%s%N) - start) / 1000000))
  transcript_sim_stop
  if [ "$status" -ne 0 ]; then
    echo "test-windows: pellorin-cli.exe ended with $status; see $run/cli.out" >&2
    cat "$run/cli.out" >&2
    return 1
  fi
}

# The whole updates on a device that paces the line (10 bits a byte at the line rate, as a real
# one); the scenarios below add an unpaced line, where under Wine the reply can be read before
# the command's write is signalled complete.
for target in dsp mcu; do
  image=$e2e/$target.hex
  device=(--image "$image" --erase-ms 500 --pace)
  # The image check first: the same facts and sums from both programs (the image named the same
  # way, relative to the folder both run in).
  (cd "$e2e" && "$linux_cli" check "$target.hex" --json >"$target-check-linux.json")
  (cd "$e2e" && wine "$cli_exe" check "$target.hex" --json | tr -d '\r' >"$target-check-wine.json")
  cmp -s "$e2e/$target-check-linux.json" "$e2e/$target-check-wine.json" ||
    { echo "test-windows: pellorin-cli.exe check $target.hex differs from the Linux tool's:" >&2
      diff "$e2e/$target-check-linux.json" "$e2e/$target-check-wine.json" >&2; exit 1; }
  transcript_linux_run "$sim" "$linux_cli" "$e2e/$target-linux" "$target" "$image" 38400 "${device[@]}"
  linux_ms=$TRANSCRIPT_JOB_MS
  grep -q '"imageMatches":true' "$e2e/$target-linux/summary.json" ||
    { echo "test-windows: the Linux reference run did not store the image" >&2; exit 1; }
  windows_cli_run "$e2e/$target-wine" "$target" "$image" 38400 "${device[@]}"
  transcript_compare "$e2e/$target-linux/transcript.jsonl" "$e2e/$target-wine/transcript.jsonl" \
    "pellorin-cli.exe update $target"
  grep -q '"imageMatches":true' "$e2e/$target-wine/summary.json" ||
    { echo "test-windows: pellorin-cli.exe did not store the image" >&2; exit 1; }
  echo "test-windows: update $target (38400 asked): $(grep -c '' "$image") lines;" \
       "Linux pellorin-cli ${linux_ms} ms, pellorin-cli.exe under Wine ${TRANSCRIPT_JOB_MS} ms"
done

# The remote port: pellorin-cli.exe reaches the simulator through ser2net on the loopback address,
# as a unit far away through its serial server; the device must see what it saw from the Linux
# tool's local run above, line for line and at the same rates.
run=$e2e/dsp-remote
transcript_sim_start "$sim" "$run" "$cli_com" --image "$e2e/dsp.hex" --erase-ms 500 --pace
tcp_port=$(/usr/bin/python3 -c \
  'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '%s\n' "connection: &inverter" "  accepter: telnet(rfc2217),tcp,127.0.0.1,$tcp_port" \
  "  connector: serialdev,$TRANSCRIPT_SIM_SLAVE,2400n81,local" "  options:" \
  "    kickolduser: false" "    chardelay: false" >"$run/ser2net.yaml"
/usr/sbin/ser2net -n -u -c "$run/ser2net.yaml" -P "$run/ser2net.pid" >"$run/ser2net.log" 2>&1 &
server=$!
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$tcp_port") 2>/dev/null && break; sleep 0.05; done
image=$e2e/dsp.hex
status=0
start=$(date +%s%N)
wine "$cli_exe" update dsp --port "rfc2217://127.0.0.1:$tcp_port" --image "Z:${image//\//\\}" \
  --baud 38400 >"$run/cli.out" 2>"$run/cli.err" || status=$?
remote_ms=$((($(date +%s%N) - start) / 1000000))
kill "$server" 2>/dev/null || true
wait "$server" 2>/dev/null || true
server=""
transcript_sim_stop
if [ "$status" -ne 0 ]; then
  echo "test-windows: pellorin-cli.exe through ser2net ended with $status; see $run/cli.out" >&2
  cat "$run/cli.out" >&2
  exit 1
fi
transcript_compare "$e2e/dsp-linux/transcript.jsonl" "$run/transcript.jsonl" \
  "pellorin-cli.exe update dsp through ser2net"
grep -q '"imageMatches":true' "$run/summary.json" ||
  { echo "test-windows: pellorin-cli.exe through ser2net did not store the image" >&2; exit 1; }
echo "test-windows: update dsp through ser2net (rfc2217://127.0.0.1:$tcp_port): ${remote_ms} ms"

# scenario_run SIDE RUN EXPECTED STOP_AT SIMARGS...: update dsp with $e2e/dsp.hex at 38400 by the
# Linux pellorin-cli (SIDE linux, on COM1) or by pellorin-cli.exe under Wine (SIDE wine, on
# COM$cli_com) against a fresh simulator started with SIMARGS; the tool must end with status
# EXPECTED. STOP_AT "PREFIX*N" interrupts the tool (Ctrl+C) once the device has handled N lines
# beginning with PREFIX; "" lets it run to its end.
scenario_run() {
  local side=$1 run=$2 expected=$3 stop_at=$4 status=0 pid
  shift 4
  if [ "$side" = linux ]; then
    transcript_sim_start "$sim" "$run" 1 --image "$e2e/dsp.hex" "$@"
    PELLORIN_COM_DIR=$run/ports XDG_STATE_HOME=$run/state "$linux_cli" update dsp --port COM1 \
      --image "$e2e/dsp.hex" --baud 38400 >"$run/cli.out" 2>"$run/cli.err" &
  else
    transcript_sim_start "$sim" "$run" "$cli_com" --image "$e2e/dsp.hex" "$@"
    wine_window_map_ports "$cli_com=$TRANSCRIPT_SIM_SLAVE"
    # Standard error gets the serial layer's trace lines (and, after a hang-up, what Wine's
    # server writes when it loses the line it took as its terminal).
    wine "$cli_exe" update dsp --port "COM$cli_com" --image "Z:${e2e//\//\\}\\dsp.hex" \
      --baud 38400 >"$run/cli.out" 2>"$run/cli.err" &
  fi
  pid=$!
  if [ -n "$stop_at" ]; then
    for _ in $(seq 1200); do
      [ "$(grep -c ": \"${stop_at%\**}" "$run/sim.log" 2>/dev/null || true)" -ge "${stop_at##*\*}" ] && break
      sleep 0.1
    done
    kill -INT "$pid"
    sleep 0.2
    kill -INT "$pid" 2>/dev/null || true
  fi
  wait "$pid" || status=$?
  transcript_sim_stop
  if [ "$status" -ne "$expected" ]; then
    echo "test-windows: $side pellorin-cli in $run ended with $status, not $expected:" >&2
    tr -d '\r' <"$run/cli.out" | tail -20 >&2
    return 1
  fi
}

# gaps FILE PREFIX: the milliseconds between consecutive lines beginning with PREFIX that the
# device received (its transcript's clock), one a line.
gaps() {
  sed -n 's/^{"timeMs":\([0-9.]*\),"received":"\([^"]*\)".*/\1 \2/p' "$1" |
    awk -v p="$2" 'index($2, p) == 1 { if (n++) printf "%.1f\n", $1 - last; last = $1 }'
}

# gaps_near FILE PREFIX MS: every such gap is MS to within 100 ms, and there is one at least.
gaps_near() {
  local found
  found=$(gaps "$1" "$2")
  echo "test-windows:   $2 sent again after: $(echo $found) ms (expected $3 +-100)"
  [ -n "$found" ] && echo "$found" | awk -v ms="$3" '$1 < ms - 100 || $1 > ms + 100 { bad = 1 } END { exit bad }'
}

# Scenarios on both tools, each device's transcript compared: an unpaced line with a noisy
# device; a hang-up (the adapter pulled out) after block 100; the speed acknowledged only at the
# third request and block 20 never acknowledged; an erase that is never answered (stopped once it
# has gone twice). The time-out gaps are those of the reply channel: the first-reply wait of
# 1000 ms plus the reply time-out (8000 for the speed, 2000 for a block, 16000 for the erase).
scenario() {
  local name=$1 expected=$2 stop_at=$3 side
  shift 3
  for side in linux wine; do
    scenario_run "$side" "$e2e/$name-$side" "$expected" "$stop_at" "$@"
  done
  transcript_compare "$e2e/$name-linux/transcript.jsonl" "$e2e/$name-wine/transcript.jsonl" \
    "pellorin-cli.exe, $name"
}
scenario unpaced-noisy 0 "" --erase-ms 500 --noise
scenario hang-up 5 "" --erase-ms 500 --hang-up-after-block 100
grep -q "COM1 was disconnected!" "$e2e/hang-up-linux/cli.out" &&
  tr -d '\r' <"$e2e/hang-up-wine/cli.out" | grep -q "^COM$cli_com was disconnected!$" ||
  { echo "test-windows: the hang-up was not named as a disconnected port" >&2; exit 1; }
scenario late-speed-lost-block 5 "" --erase-ms 500 --ack-on-attempt 3 --refuse-block 20
scenario silent-erase 130 ":efh*2" --erase-ms 500 --never-answer :efh
for side in linux wine; do
  echo "test-windows: time-out gaps, $side:"
  gaps_near "$e2e/late-speed-lost-block-$side/transcript.jsonl" "^S008BAUD" 9000 &&
    gaps_near "$e2e/late-speed-lost-block-$side/transcript.jsonl" "SD_0020" 3000 &&
    gaps_near "$e2e/silent-erase-$side/transcript.jsonl" ":efh" 17000 ||
    { echo "test-windows: a time-out gap is off by more than 100 ms ($side)" >&2; exit 1; }
done

# pellorin-cli.exe --help describes what applies on Windows.
help=$(wine "$cli_exe" --help | tr -d '\r')
if grep -q PELLORIN_COM_DIR <<<"$help" || ! grep -q '\\\\.\\COMn' <<<"$help"; then
  echo "test-windows: pellorin-cli.exe --help does not describe Windows ports:" >&2
  echo "$help" >&2
  exit 1
fi

# Ctrl+C in mid-update (Wine hands a SIGINT to the program as the console's Ctrl+C event), twice:
# the job ends as the window's "Exit" does, the program with 130, the device partway with no
# protocol violation, where the next run resumes it.
run=$e2e/ctrl-c
transcript_sim_start "$sim" "$run" "$cli_com" --image "$root/build/images/dsp.hex" --erase-ms 0 \
  --block-ms 20
wine_window_map_ports "$cli_com=$TRANSCRIPT_SIM_SLAVE"
image=$root/build/images/dsp.hex
wine "$cli_exe" update dsp --port "COM$cli_com" --image "Z:${image//\//\\}" >"$run/cli.out" \
  2>"$run/cli.err" &
cli_pid=$!
for _ in $(seq 600); do
  [ "$(grep -c '"SD_' "$run/sim.log" 2>/dev/null || true)" -ge 40 ] && break
  sleep 0.1
done
kill -INT "$cli_pid"
sleep 0.2
kill -INT "$cli_pid" 2>/dev/null || true
status=0
wait "$cli_pid" || status=$?
transcript_sim_stop
stored=$(sed -n 's/.*"dspBlocksStored":\([0-9]*\).*/\1/p' "$run/summary.json")
if [ "$status" -ne 130 ] || ! grep -q 'interrupted' "$run/cli.out" || [ "${stored:-0}" -lt 40 ] ||
   [ "$stored" -ge 2002 ] || ! grep -q '"violations":\[\]' "$run/summary.json"; then
  echo "test-windows: Ctrl+C: exit status $status, $stored blocks stored; expected 130 and a" \
       "device stopped partway without violations" >&2
  cat "$run/cli.out" "$run/summary.json" >&2
  exit 1
fi
echo "test-windows: Ctrl+C during update dsp: exit status 130 after $stored blocks, no violation"
wineserver -k 2>/dev/null || true

# The native window, driven by keys under Wine on a virtual display against the Linux simulator.
scripts/drive-win32-window.sh --exe "$build/win32/Pellorin.exe" --linux-build build
