#!/usr/bin/env bash
# Runs the Windows installer from dist/ (made by scripts/package.sh) under Wine in a prefix of
# its own: a silent install for the current user and one for all users, the installed
# pellorin-cli.exe --version from the install folder, the Start-menu entry, and a silent
# uninstall that leaves nothing behind; then pellorin-cli.exe --version from the zip.
# Skips (exit 0) where there is no installer in dist/; needs wine (the 64-bit loader is enough).
set -euo pipefail
cd "$(dirname "$0")/.."

setups=(dist/pellorin-*-setup.exe)
if [ ! -f "${setups[0]}" ]; then
  echo "test-windows-package: no dist/pellorin-*-setup.exe: skipped"
  exit 0
fi
[ ${#setups[@]} -eq 1 ] || { echo "test-windows-package: more than one installer in dist/" >&2; exit 1; }
command -v wine >/dev/null || { echo "test-windows-package: wine is missing" >&2; exit 1; }
setup=$PWD/${setups[0]}
zip=$(ls "$PWD"/dist/pellorin-*-windows-x64.zip 2>/dev/null | head -1)

scratch=$(mktemp -d)
export WINEPREFIX=$scratch/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY  # console programs only; the installer runs silently
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

passed=0
failed=0
check() {  # check NAME COMMAND...
  local name=$1
  shift
  if "$@"; then
    echo "test-windows-package: ok: $name"
    passed=$((passed + 1))
  else
    echo "test-windows-package: FAILED: $name" >&2
    failed=$((failed + 1))
  fi
}
runs_version() { wine "$1" --version | tr -d '\r' | grep -q "[0-9]"; }

wine wineboot -i >/dev/null 2>&1
wineserver -w
drive=$WINEPREFIX/drive_c
user_dir=$(find "$drive/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -1)

# name, installer switch, install folder, Start-menu folder
modes=(
  "current user|/CurrentUser|$user_dir/AppData/Local/Programs/Pellorin|$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Pellorin"
  "all users|/AllUsers|$drive/Program Files/Pellorin|$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Pellorin"
)
for mode in "${modes[@]}"; do
  IFS='|' read -r name switch folder menu <<<"$mode"
  wine "$setup" /S "$switch"
  wineserver -w
  check "$name: installed" test -f "$folder/Pellorin.exe" -a -f "$folder/pellorin-cli.exe" -a -f "$folder/uninstall.exe"
  check "$name: Start-menu entry" test -f "$menu/Pellorin.lnk"
  check "$name: pellorin-cli.exe --version from the install folder" runs_version "$folder/pellorin-cli.exe"
  wine "$folder/uninstall.exe" /S "$switch"
  wineserver -w  # the uninstaller runs from a copy of itself and returns at once
  check "$name: uninstalled" test ! -e "$folder" -a ! -e "$menu"
done

if [ -n "$zip" ]; then
  mkdir -p "$scratch/zip"
  (cd "$scratch/zip" && unzip -q "$zip")
  cli=$(find "$scratch/zip" -name pellorin-cli.exe | head -1)
  check "zip: pellorin-cli.exe --version" runs_version "$cli"
fi

echo "test-windows-package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
