#!/usr/bin/env bash
# Builds the release packages into dist/, from a fresh Debian 12 machine:
#   dist/pellorin_VERSION_amd64.deb          always (Release build in build-package/, checked
#                                            with lintian, appstreamcli and desktop-file-validate)
#   dist/pellorin-VERSION-setup.exe          the Windows installer (NSIS) and
#   dist/pellorin-VERSION-windows-x64.zip    the same files as a zip, both only where the MinGW
#                                            build of the Windows port is present: Pellorin.exe and
#                                            pellorin-cli.exe under build-windows/ (or under the
#                                            folder named by PELLORIN_WINDOWS_BUILD), stripped of
#                                            their debugging symbols in the packages
# With --windows it makes the MinGW build of the two Windows programs first, so that this one
# command also writes the Windows installer and zip.
# Installs what it needs with apt, as root or through sudo.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --windows ]; then
  scripts/install-deps.sh cmake g++ googletest nlohmann-json3-dev libcli11-dev g++-mingw-w64-x86-64-posix
  cmake -S . -B "${PELLORIN_WINDOWS_BUILD:-build-windows}" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake"
  cmake --build "${PELLORIN_WINDOWS_BUILD:-build-windows}" -j2 --target pellorin_win32 pellorin-cli
elif [ $# -gt 0 ]; then
  echo "usage: scripts/package.sh [--windows]" >&2
  exit 2
fi

build=build-package
dist=dist

# The build and the packaging tools, installed only where missing.
scripts/install-deps.sh dpkg-dev lintian file nsis zip unzip appstream desktop-file-utils

# Release build with Debian's hardening flags. Only what the package holds is built: the tests
# and benchmarks are left out (CMAKE_SKIP_INSTALL_ALL_DEPENDENCY keeps cpack from building them).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
CXXFLAGS="$CPPFLAGS $CXXFLAGS" cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
targets=(Pellorin pellorin-sim hexgen pellorin_icons pellorin_compressed_docs)
build_targets=$(cmake --build "$build" --target help)  # whole, not cut short by grep -q
if grep -qx '\.\.\. pellorin-cli' <<<"$build_targets"; then
  targets+=(pellorin-cli)
fi
cmake --build "$build" -j2 --target "${targets[@]}"

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[ -n "$version" ] || { echo "package: no version in $build/CPackConfig.cmake" >&2; exit 1; }

# The Debian package.
mkdir -p "$dist"
rm -f "$dist"/pellorin_*.deb
rm -rf "$build/cpack"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$build/cpack"
cp "$build"/cpack/pellorin_*.deb "$dist/"
deb=$(ls "$dist"/pellorin_*.deb)

# Its checks: the metainfo and the desktop entry as installed, then lintian on the package.
check=$build/cpack/check
rm -rf "$check" && mkdir -p "$check" && dpkg-deb -x "$deb" "$check"
for metainfo in "$check"/usr/share/metainfo/*.xml; do
  appstreamcli validate --pedantic "$metainfo"
done
for entry in "$check"/usr/share/applications/*.desktop; do
  desktop-file-validate "$entry"
done
lintian --fail-on error --display-info "$deb" | tee "$build/lintian.txt"

size() { echo "$(( ($(stat -c %s "$1") + 1023) / 1024 )) KiB"; }
echo "package: $deb ($(size "$deb"))"

# The Windows installer and zip, from the MinGW build of the Windows port where it is present
# (the window in win32/, the command line in cli/ of the build folder).
windows=${PELLORIN_WINDOWS_BUILD:-build-windows}
window_exe=""
cli_exe=""
if [ -d "$windows" ]; then
  window_exe=$(find "$windows" -name Pellorin.exe -type f -not -path '*/drive-win32-window/*' -print -quit)
  cli_exe=$(find "$windows" -name pellorin-cli.exe -type f -not -path '*/e2e/*' -print -quit)
fi
if [ -n "$window_exe" ] && [ -n "$cli_exe" ]; then
  stage=$build/windows/Pellorin-$version
  rm -rf "$build/windows" && mkdir -p "$stage"
  # The build keeps debugging symbols (RelWithDebInfo); the packages carry the programs alone.
  scripts/install-deps.sh binutils-mingw-w64-x86-64
  for exe in "$window_exe" "$cli_exe"; do
    x86_64-w64-mingw32-strip -o "$stage/$(basename "$exe")" "$exe"
  done
  setup=$dist/pellorin-$version-setup.exe
  zip=$dist/pellorin-$version-windows-x64.zip
  rm -f "$setup" "$zip"
  makensis -V2 -DVERSION="$version" -DSTAGE="$PWD/$stage" -DOUTFILE="$PWD/$setup" \
    packaging/windows/pellorin.nsi
  (cd "$build/windows" && zip -q -r -X "$OLDPWD/$zip" "Pellorin-$version")
  echo "package: $setup ($(size "$setup"))"
  echo "package: $zip ($(size "$zip"))"
else
  echo "package: no MinGW build (Pellorin.exe and pellorin-cli.exe under build-windows/):" \
       "the Windows installer and zip are skipped"
fi
