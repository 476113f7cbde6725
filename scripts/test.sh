#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the whole test suite.
#   scripts/test.sh                    normal build in build/
#   scripts/test.sh --sanitize=address AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   scripts/test.sh --sanitize=thread  ThreadSanitizer, in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
for arg in "$@"; do
  case "$arg" in
    --sanitize=*) sanitize="${arg#--sanitize=}" ;;
    *) echo "usage: $0 [--sanitize=address|thread]" >&2; exit 2 ;;
  esac
done
case "$sanitize" in
  "") build=build ;;
  address) build=build-asan ;;
  thread) build=build-tsan ;;
  *) echo "unknown sanitizer: $sanitize" >&2; exit 2 ;;
esac

scripts/install-deps.sh
cmake -S . -B "$build" -DPELLORIN_SANITIZE="$sanitize"
cmake --build "$build" -j2
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j2
