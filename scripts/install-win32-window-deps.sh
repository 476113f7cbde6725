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

exec "$(dirname "$0")/install-deps.sh" "${packages[@]}"
