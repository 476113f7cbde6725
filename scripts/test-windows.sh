#!/usr/bin/env bash
# Builds the platform and serial layers for Windows (MinGW-w64 cross build in build-windows/)
# and runs their suites under Wine, on two COM ports that Wine maps to pseudo-terminals joined
# by a null-modem relay. Installs what it needs (as root, or through sudo).
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

scripts/install-deps.sh cmake g++ googletest g++-mingw-w64-x86-64-posix wine wine64

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
cmake --build "$build" -j2
g++ -O2 -Wall -o "$build/nullmodem" tests/serial/NullModem.cpp -lutil

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
relay=""
cleanup() {
  wineserver -k 2>/dev/null || true
  [ -n "$relay" ] && kill "$relay" 2>/dev/null || true
}
trap cleanup EXIT

"$build/nullmodem" 1 >"$build/nullmodem.ports" &
relay=$!
for _ in $(seq 100); do [ -s "$build/nullmodem.ports" ] && break; sleep 0.05; done
read -r port_device peer_device <"$build/nullmodem.ports"

[ -f "$WINEPREFIX/system.reg" ] || wine wineboot -i >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v "$test_port" /t REG_SZ /d "$port_device" /f >/dev/null
wine reg add 'HKLM\Software\Wine\Ports' /v "$test_peer" /t REG_SZ /d "$peer_device" /f >/dev/null
wineserver -w

mappings=$(wine reg query 'HKLM\Software\Wine\Ports' | tr -d '\r')
for port in "$test_port" "$test_peer"; do
  device=$(awk -v p="$port" '$1 == p { print $3 }' <<<"$mappings")
  case "$device" in
    /dev/pts/*) ;;
    *) echo "test-windows: $port is mapped to '${device}', not to a pseudo-terminal; refusing to run" >&2; exit 1 ;;
  esac
done
if grep -q '/dev/ttyS' <<<"$mappings"; then
  echo "test-windows: a COM port is mapped to /dev/ttyS*; refusing to run" >&2
  exit 1
fi

# One server for the whole run (each program then starts in milliseconds); a server that the
# registry changes started may still be there, which is as good.
wineserver -p 2>/dev/null || true
export PELLORIN_TEST_PORT=$test_port PELLORIN_TEST_PEER=$test_peer
ctest --test-dir "$build" --output-on-failure
wineserver -k 2>/dev/null || true

# The native window, driven by keys under Wine on a virtual display against the Linux simulator
# (it needs the Linux build's pellorin-sim: the README's test command makes it).
if [ ! -x build/sim/pellorin-sim ]; then
  cmake -S . -B build >/dev/null
  cmake --build build -j2 --target pellorin-sim hexgen
fi
scripts/drive-win32-window.sh --exe "$build/win32/Pellorin.exe" --linux-build build
