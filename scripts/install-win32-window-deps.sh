#!/usr/bin/env bash
# Installs what building the Windows window (MinGW-w64) and driving it under Wine + Xvfb need on
# Debian 12, as root or through sudo. Installs only what is missing and waits for another apt run
# to let go of the package lock instead of failing.
set -euo pipefail

packages=(
  cmake python3                # python3 makes the window's icon
  g++-mingw-w64-x86-64-posix   # the -posix variant: std::thread works
  wine wine64
  xvfb xauth xdotool x11-utils
  imagemagick                  # import: the screenshot; convert: the icon
  fonts-wqy-microhei           # a replacement for the dialog font 宋体 under Wine
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-win32-window-deps: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
echo "install-win32-window-deps: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
