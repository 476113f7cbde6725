#!/usr/bin/env bash
# Runs the Windows installer from dist/ (made by scripts/package.sh) under Wine in a prefix of
# its own: a silent install for the current user and one for all users, the installed
# pellorin-cli.exe --version from the install folder and by name from PATH (the mode's PATH
# gains the install folder, everything else in it kept, a PATH longer than the installer's own
# strings included), the Start-menu entries of the window and the command line, and a silent
# uninstall that leaves nothing behind and PATH as it was; the current user's uninstall runs
# while Pellorin.exe is open on a virtual display, and must close it. Then pellorin-cli.exe
# --version from the zip.
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

scripts/install-win32-window-deps.sh >/dev/null
scratch=$(mktemp -d)
unset DISPLAY  # the installer runs silently; the window gets a virtual display of its own below
# shellcheck source=scripts/wine-window-lib.sh
source scripts/wine-window-lib.sh
cleanup() {
  wine_window_cleanup
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
# A new console finds the command line by name, on the PATH the installer changed.
runs_from_path() { wine cmd /c "pellorin-cli --version" </dev/null | tr -d '\r' | grep -q "^pellorin-cli [0-9]"; }
path_of() { wine reg query "$1" /v Path 2>/dev/null | tr -d '\r' | sed -n 's/^ *Path *REG_[A-Z_]*SZ *//p'; }
path_is() { [ "$(path_of "$1")" = "$2" ]; }

wine_window_prefix "$scratch/wineprefix" >/dev/null
drive=$WINEPREFIX/drive_c
user_dir=$(find "$drive/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -1)
# The window lists COM0 to COM29: none may reach the machine's own serial ports.
wine_window_map_ports

user_key='HKCU\Environment'
system_key='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
# A user PATH of the user's own; a system PATH longer than the installer's strings (1024).
wine reg add "$user_key" /v Path /t REG_EXPAND_SZ /d 'C:\Tools;%USERPROFILE%\bin' /f >/dev/null
long_path="$(path_of "$system_key");$(printf 'C:\\Vendor\\Tools%02d\\bin;' $(seq 1 70))D:\\Last"
wine reg add "$system_key" /v Path /t REG_EXPAND_SZ /d "$long_path" /f >/dev/null

# name, installer switch, install folder, Start-menu folder, PATH key
modes=(
  "current user|/CurrentUser|$user_dir/AppData/Local/Programs/Pellorin|$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Pellorin|$user_key|C:\\users\\$(basename "$user_dir")\\AppData\\Local\\Programs\\Pellorin"
  "all users|/AllUsers|$drive/Program Files/Pellorin|$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Pellorin|$system_key|C:\\Program Files\\Pellorin"
)
for mode in "${modes[@]}"; do
  IFS='|' read -r name switch folder menu key windows_folder <<<"$mode"
  before=$(path_of "$key")
  wine "$setup" /S "$switch"
  wineserver -w
  check "$name: installed" test -f "$folder/Pellorin.exe" -a -f "$folder/pellorin-cli.exe" -a -f "$folder/uninstall.exe"
  check "$name: Start-menu entries" test -f "$menu/Pellorin.lnk" -a -f "$menu/Pellorin command line.lnk"
  check "$name: pellorin-cli.exe --version from the install folder" runs_version "$folder/pellorin-cli.exe"
  check "$name: the install folder added to PATH, the rest kept" path_is "$key" "$before;$windows_folder"
  if [ "$name" = "current user" ]; then
    # (Wine itself cuts a system PATH longer than 1024 characters when it makes a program's
    # environment, so the long one above is checked in the registry only.)
    check "$name: pellorin-cli found on PATH" runs_from_path
    # The uninstaller closes a running Pellorin.exe, as its close box would, before it goes.
    # Wine's session (its desktop program) started without a display: it has to end first.
    wineserver -w
    wine_window_display
    wine_window_start "$folder/Pellorin.exe"
    window=$(wine_window_find Pellorin 60 || true)
    check "$name: Pellorin.exe runs before the uninstall" test -n "$window"
  fi
  wine "$folder/uninstall.exe" /S "$switch"
  wineserver -w  # the uninstaller runs from a copy of itself and returns at once
  check "$name: uninstalled" test ! -e "$folder" -a ! -e "$menu"
  check "$name: PATH as it was" path_is "$key" "$before"
  if [ "$name" = "current user" ]; then
    check "$name: the running Pellorin.exe was closed" wine_window_wait_exit "$WINE_WINDOW_PID" 10
  fi
done

if [ -n "$zip" ]; then
  mkdir -p "$scratch/zip"
  (cd "$scratch/zip" && unzip -q "$zip")
  cli=$(find "$scratch/zip" -name pellorin-cli.exe | head -1)
  check "zip: pellorin-cli.exe --version" runs_version "$cli"
fi

echo "test-windows-package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
