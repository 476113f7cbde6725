#!/usr/bin/env bash
# Builds the Windows window with a stand-in engine (win32/preview) and proves it under Wine on a
# virtual display, driven by keys as an operator would: the port list (one pseudo-terminal mapped
# as COM3), the speed field, "Update DSP" by Enter, the About box from the system menu, "Exit",
# and the window once more at 150 % with no port (the message box). Screenshots go to build-win32-preview/shots/ (with --docs
# also to docs/: the window after the stand-in's update, the About box, the window at 150 %).
#
#   scripts/preview-win32-window.sh [--docs]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-win32-preview
docs=no
[ "${1:-}" = "--docs" ] && docs=yes

scripts/install-win32-window-deps.sh
cmake -S win32/preview -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows \
  -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix \
  -DCMAKE_RC_COMPILER=x86_64-w64-mingw32-windres >/dev/null
cmake --build "$build" -j2
exe=$build/Pellorin.exe

source scripts/wine-window-lib.sh
pty_pid=""
cleanup() {
  wine_window_cleanup
  [ -n "$pty_pid" ] && kill "$pty_pid" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A pseudo-terminal for the port list; the stand-in engine never opens it.
fifo=$(mktemp -u)
mkfifo "$fifo"
python3 -c 'import os, pty, sys, time
master, slave = pty.openpty()
print(os.ttyname(slave), flush=True)
time.sleep(600)' >"$fifo" &
pty_pid=$!
read -r pty <"$fifo"
rm -f "$fifo"

shots=$build/shots
mkdir -p "$shots"
wine_window_display
wine_window_prefix "$build/wineprefix"
wine_window_map_ports "3=$pty"

wine_window_start "$exe"
window=$(wine_window_find Pellorin 60) || { echo "preview: the window did not appear" >&2; exit 1; }
sleep 1
wine_window_shot "$shots/1-start.png"

# The speed field is the last tab stop: Shift+Tab from the port field, then Down: "38400".
wine_window_keys "$window" shift+Tab Down
# Back to the port field and Enter: the dialog's OK command, "Update DSP".
wine_window_keys "$window" Tab Return
sleep 2
wine_window_shot "$shots/2-programming.png"
wine_window_read "$build/pellorin-read-window.exe" "$shots/2-programming.txt"
wine_window_expect "$shots/2-programming.txt" "button-1: disabled" "button-3: disabled" \
  "port: COM3" "speed-field: 38400"
sleep 6
wine_window_shot "$shots/3-finished.png"
wine_window_read "$build/pellorin-read-window.exe" "$shots/3-finished.txt"
wine_window_expect "$shots/3-finished.txt" "log: Preview: finished" "total: 600" "written: 600" \
  "percent: 100%" "bar: 600 of 600" "button-1: enabled" "button-3: enabled"
[ "$(sed -n 's/^log: //p' "$shots/3-finished.txt" | head -1)" = "Preview: finished" ] ||
  { echo "preview: the newest log line is not on top" >&2; exit 1; }
wine_window_shot "$shots/3-window.png" "$window"
[ "$docs" = yes ] && cp "$shots/3-window.png" docs/win32-window-preview.png

# The About box from the system menu, and back.
wine_window_about "$window" "$shots/4-about.png"
[ "$docs" = yes ] && cp "$shots/4-about.png" docs/win32-about-preview.png

# Esc is "Exit": the window closes and the program ends.
wine_window_keys "$window" Escape
if ! wine_window_wait_exit "$WINE_WINDOW_PID" 5; then
  echo "preview: the program did not end after Esc" >&2
  exit 1
fi
# At 150 % (144 dots per inch) the dialog, laid out in units of its font, grows with the font.
# No port this time: Enter ("Update DSP") brings the message box, Enter closes it.
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null
wine_window_map_ports
wine_window_start "$exe"
window=$(wine_window_find Pellorin 60) || { echo "preview: no window at 150 %" >&2; exit 1; }
sleep 1.5
wine_window_shot "$shots/5-window-150-percent.png" "$window"
[ "$docs" = yes ] && cp "$shots/5-window-150-percent.png" docs/win32-window-preview-150.png
wine_window_keys "$window" Return
sleep 1
box=$(xdotool search --onlyvisible --name '^Pellorin$' | grep -vx "$window" | head -1 || true)
[ -n "$box" ] || { echo "preview: no message box without a port" >&2; exit 1; }
wine_window_shot "$shots/6-no-port.png" root
wine_window_keys "$box" Return
wine_window_wait_closed "$box" 3000 >/dev/null || { echo "preview: the message box stayed" >&2; exit 1; }
wine_window_keys "$window" Escape
wine_window_wait_exit "$WINE_WINDOW_PID" 5 || { echo "preview: no end after Esc at 150 %" >&2; exit 1; }
wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null
wineserver -w

echo "preview: passed; screenshots in $shots"
