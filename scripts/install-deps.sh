#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12 (the remote-port tests run two
# network serial servers, ser2net and sredird, on the loopback address), as root or through sudo, and
# the further packages named as arguments (scripts/fuzz.sh and scripts/check-format.sh name theirs).
# Installs only what is missing, so a second run is quick and needs no network. Waits for another
# apt run (a parallel build script) to let go of the package lock instead of failing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev
  nlohmann-json3-dev libcli11-dev
  qt6-base-dev libgl-dev
  fonts-wqy-microhei
  sound-theme-freedesktop
  xvfb xauth
  ser2net sredird
  "$@"
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
  command -v sudo >/dev/null || { echo "install-deps: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
echo "install-deps: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
