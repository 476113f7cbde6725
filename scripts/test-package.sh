#!/usr/bin/env bash
# Installs the Debian package from dist/ (made by scripts/package.sh) on this machine, checks
# the installed files, runs a whole simulated update with the installed programs only, and
# purges the package again (also when a check fails). As root or through sudo.
#
# The update: the installed pellorin-sim is the device, on a pseudo-terminal published as COM1
# in a scratch folder named by PELLORIN_COM_DIR; the installed pellorin-cli updates its DSP
# with an image made by the installed hexgen. No real serial port is opened.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "test-package: need root or sudo" >&2; exit 1; }
  as_root=(sudo)
fi

debs=(dist/pellorin_*.deb)
[ -f "${debs[0]}" ] || { echo "test-package: no dist/pellorin_*.deb (run scripts/package.sh)" >&2; exit 1; }
[ ${#debs[@]} -eq 1 ] || { echo "test-package: more than one package in dist/: ${debs[*]}" >&2; exit 1; }

scratch=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 purge -y -qq pellorin >/dev/null || true
}
trap cleanup EXIT

passed=0
failed=0
check() {  # check NAME COMMAND...: runs the command, counts and reports the outcome
  local name=$1
  shift
  if "$@"; then
    echo "test-package: ok: $name"
    passed=$((passed + 1))
  else
    echo "test-package: FAILED: $name" >&2
    failed=$((failed + 1))
  fi
}

"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -o Dpkg::Use-Pty=0 install -y -qq "./${debs[0]}"

# The installed files.
check "programs in /usr/bin" test -x /usr/bin/Pellorin -a -x /usr/bin/pellorin-sim -a -x /usr/bin/hexgen
no_missing_libraries() { ! ldd /usr/bin/Pellorin /usr/bin/pellorin-sim /usr/bin/hexgen | grep -q "not found"; }
check "every shared library found" no_missing_libraries
desktop=$(ls /usr/share/applications/*.desktop 2>/dev/null | xargs -r grep -l '^Exec=Pellorin$' | head -1)
check "desktop entry" test -n "$desktop"
icons_present() {
  local icon size
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  for size in 16 32 48 128 256; do
    [ -f "/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png" ] || return 1
  done
}
check "icons at 16 to 256 pixels" icons_present
check "AppStream metainfo" test -n "$(ls /usr/share/metainfo/*.metainfo.xml 2>/dev/null)"
check "manual pages" test -f /usr/share/man/man1/pellorin-sim.1.gz -a -f /usr/share/man/man1/Pellorin.1.gz
check "pellorin-sim --help" sh -c 'pellorin-sim --help | grep -q "^Usage: pellorin-sim"'
# The window starts (offscreen) and stays up until it is ended.
window_starts() {
  local status=0
  QT_QPA_PLATFORM=offscreen PELLORIN_COM_DIR="$scratch/no-ports" timeout 3 /usr/bin/Pellorin \
    >/dev/null 2>&1 || status=$?
  [ "$status" -eq 124 ]
}
mkdir -p "$scratch/no-ports"
check "the window starts and runs" window_starts

# A whole DSP update from the installed files.
check "hexgen writes an image" hexgen --out "$scratch/dsp.hex" --records 300 --length 16 \
  --start 0x8000 --verify-line 290
mkdir -p "$scratch/ports"
pellorin-sim --com-dir "$scratch/ports" --com 1 --erase-ms 300 --image "$scratch/dsp.hex" \
  --summary "$scratch/summary.json" >"$scratch/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -e "$scratch/ports/com1" ] && break; sleep 0.1; done
check "pellorin-sim publishes COM1 on a pseudo-terminal" test -c "$scratch/ports/com1"
if command -v pellorin-cli >/dev/null; then
  check "pellorin-cli --version" pellorin-cli --version
  check "pellorin-cli updates the simulated DSP" env PELLORIN_COM_DIR="$scratch/ports" \
    XDG_STATE_HOME="$scratch/state" timeout 120 \
    pellorin-cli update dsp --port COM1 --image "$scratch/dsp.hex"
else
  echo "test-package: pellorin-cli is not in the package: the simulated update is skipped"
fi
kill -TERM "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
check "the device saw no protocol violation" grep -Eq '"violations": ?\[\]' "$scratch/summary.json"
if command -v pellorin-cli >/dev/null; then
  check "the device holds the image" grep -Eq '"imageMatches": ?true' "$scratch/summary.json"
fi

cleanup
trap - EXIT
check "purged: no program left" test ! -e /usr/bin/Pellorin -a ! -e /usr/bin/pellorin-sim
echo "test-package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
