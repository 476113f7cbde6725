# Shared steps for running the Windows window under Wine on a virtual X display; sourced by
# preview-win32-window.sh and drive-win32-window.sh. Everything runs in a Wine prefix of the
# caller's own, and everything started here is ended by its own process id (wine_window_cleanup).
#
# Safety: Wine gives COM numbers without a registry value to the machine's serial ports, starting
# with /dev/ttyS0 (on the build machines the machine's own console). The window probes COM0 to
# COM29 at start-up, so every one of those numbers is mapped explicitly: the ones in use to
# pseudo-terminals, all others to nothing (an empty value: Wine links no device for the number).
# Nothing runs before the check that no number from 1 to 255 resolves to a /dev/ttyS* device.

WINE_WINDOW_XVFB_PID=""
WINE_WINDOW_PIDS=()

# wine_window_prefix DIR: a Wine prefix in DIR (made on first use), quiet, without Mono or Gecko,
# with a replacement for the dialog font 宋体.
wine_window_prefix() {
  export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: making the prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wine wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 宋体 /t REG_SZ /d "WenQuanYi Micro Hei" /f >/dev/null
  # Wine's own captions and menus (Tahoma) fall back to the same face for Chinese: the About
  # box's title and the system menu's About entry.
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma \
    /t REG_MULTI_SZ /d "wqy-microhei.ttc,WenQuanYi Micro Hei" /f >/dev/null
  # There is no window manager on the virtual display: Wine draws the windows' captions itself
  # (title, icon, close box) and does not wait two seconds for a window manager when a window
  # closes.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null
}

# wine_window_map_ports "N=/dev/pts/X" ...: maps the given COM numbers to their pseudo-terminals
# and every other number from 1 to 255 to nothing. Wine gives each /dev/ttyS* device the first
# number the registry leaves free; with all of 1 to 255 taken that is COM256, a number that nothing
# here opens (the window lists 0 to 29; the tests use the numbers they map). COM0 is no port under
# Wine. wine-ports.reg beside this file is Wine's port map with every number mapped to nothing;
# the given numbers get their pseudo-terminals in a copy of it.
wine_window_map_ports() {
  local reg="$WINEPREFIX/pellorin-ports.reg" n mapping target line
  local template
  template="$(dirname "${BASH_SOURCE[0]}")/wine-ports.reg"
  declare -A wanted=()
  for mapping in "$@"; do wanted[${mapping%%=*}]=${mapping#*=}; done
  while IFS= read -r line; do
    line=${line%$'\r'}
    if [[ $line =~ ^\"COM([0-9]+)\"= ]]; then
      n=${BASH_REMATCH[1]}
      target=${wanted[$n]:-}
      case "$target" in /dev/ttyS*) echo "wine: refusing to map COM$n to $target" >&2; return 1 ;; esac
      line="\"COM$n\"=\"$target\""
    fi
    printf '%s\r\n' "$line"
  done <"$template" >"$reg"
  wine regedit /S "$reg" >/dev/null 2>&1
  wineserver -w
  # The mount manager links the numbers when Wine starts, from the registry, and may finish after
  # the program that started it: start Wine once and wait for all of it to end, then check the
  # links before anything that opens a port runs. Links left from before (a new prefix links COM1
  # to /dev/ttyS0) are removed first.
  rm -f "$WINEPREFIX"/dosdevices/com[0-9]*
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  wineserver -w
  for n in $(seq 1 255); do
    target=$(readlink "$WINEPREFIX/dosdevices/com$n" 2>/dev/null || true)
    case "$target" in
      /dev/ttyS*) echo "wine: COM$n resolves to $target: stopping" >&2; return 1 ;;
    esac
    if [ -n "${wanted[$n]:-}" ] && [ "$target" != "${wanted[$n]}" ]; then
      echo "wine: COM$n resolves to '$target', not ${wanted[$n]}" >&2
      return 1
    fi
  done
}

# wine_window_display: a virtual X display of its own; sets DISPLAY.
wine_window_display() {
  local n
  for n in $(seq 91 120); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    WINE_WINDOW_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do
      xdpyinfo >/dev/null 2>&1 && return 0
      [ -e "/tmp/.X11-unix/X$n" ] && sleep 0.2 && return 0
      sleep 0.1
    done
    echo "wine: Xvfb :$n did not start" >&2
    return 1
  done
  echo "wine: no free display number" >&2
  return 1
}

# wine_window_start EXE [ARGS...]: starts the program under Wine; WINE_WINDOW_PID is its launcher.
wine_window_start() {
  (cd "$(dirname "$1")" && exec wine "$@") >/dev/null 2>&1 &
  WINE_WINDOW_PID=$!
  WINE_WINDOW_PIDS+=("$WINE_WINDOW_PID")
}

# wine_window_find TITLE [SECONDS]: prints the X window id of the top-level window with exactly
# this title once it is shown.
wine_window_find() {
  local title=$1 seconds=${2:-30} id
  for _ in $(seq $((seconds * 10))); do
    id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}

# wine_window_keys WIN KEY...: focuses the window and types the keys, one at a time.
wine_window_keys() {
  local window=$1 key
  shift
  xdotool windowfocus --sync "$window" 2>/dev/null || xdotool windowfocus "$window"
  for key in "$@"; do
    # A key that closes the window (Enter on OK, Esc) leaves its release with no window to go to,
    # which xdotool reports as an X error; what the key did is checked by the caller.
    xdotool key --window "$window" "$key" 2>/dev/null || true
    sleep 0.3
  done
}

# wine_window_read TOOL OUT: what the window shows ("name: value" lines, the log newest first)
# into OUT, read by pellorin-read-window.exe.
wine_window_read() { wine "$1" 2>/dev/null | tr -d '\r' >"$2"; }

# wine_window_expect OUT LINE...: fails, naming the line, unless OUT has every LINE exactly.
wine_window_expect() {
  local out=$1 line
  shift
  for line in "$@"; do
    grep -qxF -- "$line" "$out" || { echo "wine: the window does not show '$line':" >&2; cat "$out" >&2; return 1; }
  done
}

# wine_window_shot FILE [WIN]: the whole virtual screen, or one window, as a PNG.
wine_window_shot() { import -window "${2:-root}" "$1"; }

# wine_window_about WIN SHOT: opens the About box from the window's system menu, photographs the
# box into SHOT and closes it with Enter (its OK button "确定"); fails when the box does not open
# or close. Alt+Space opens the system menu; the About entry is its last item (Up from the first:
# its mnemonic A is also taken by Wine's own "About Wine" entry).
wine_window_about() {
  local window=$1 shot=$2 about
  wine_window_keys "$window" alt+space Up Return
  about=$(wine_window_find '关于 Pellorin' 10) || { echo "wine: no About box" >&2; return 1; }
  sleep 1
  wine_window_shot "$shot" "$about"
  wine_window_keys "$about" Return
  if ! wine_window_wait_closed "$about" 3000 >/dev/null; then
    echo "wine: the About box did not close" >&2
    return 1
  fi
}

# wine_window_wait_exit PID SECONDS: true when the process has ended within the time.
wine_window_wait_exit() {
  local pid=$1 deadline=$(($(date +%s%N) + $2 * 1000000000))
  while kill -0 "$pid" 2>/dev/null; do
    [ "$(date +%s%N)" -ge "$deadline" ] && return 1
    sleep 0.05
  done
}

# wine_window_wait_closed WIN MILLISECONDS: true when the window is no longer shown within the
# time; prints the milliseconds it took.
wine_window_wait_closed() {
  local window=$1 start now
  start=$(date +%s%N)
  while xdotool getwindowname "$window" >/dev/null 2>&1 &&
        xdotool search --onlyvisible --name '.*' 2>/dev/null | grep -qx "$window"; do
    now=$(date +%s%N)
    [ $(((now - start) / 1000000)) -ge "$2" ] && return 1
    sleep 0.02
  done
  echo $((($(date +%s%N) - start) / 1000000))
}

# wine_window_cleanup: ends what this prefix runs and the virtual display, by their ids.
wine_window_cleanup() {
  if [ -n "${WINEPREFIX:-}" ]; then wineserver -k 2>/dev/null || true; fi
  local pid
  for pid in "${WINE_WINDOW_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -n "$WINE_WINDOW_XVFB_PID" ]; then
    kill "$WINE_WINDOW_XVFB_PID" 2>/dev/null || true
    wait "$WINE_WINDOW_XVFB_PID" 2>/dev/null || true
  fi
}
