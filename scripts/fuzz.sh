#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz/ and runs each for the given number of seconds (default 60), one after the other.
#   scripts/fuzz.sh [seconds]
# Each target starts from its seed corpus in tests/fuzz/corpus/<target>/ and keeps what it learns
# in build-fuzz/corpus/<target>/; an input that makes a target fail is written to
# build-fuzz/crashes/<target>/ and the script ends with status 1 after the other targets ran.
# Copy such an input into the target's seed corpus once the fault is fixed: every build then runs
# it as a test. FUZZ_NICE (default 10) sets the niceness of the runs.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
case "$seconds" in ''|*[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;; esac

scripts/install-deps.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DPELLORIN_FUZZ=ON -DPELLORIN_BUILD_APP=OFF >/dev/null
cmake --build build-fuzz -j2

failed=()
printf '%-24s %14s %10s\n' target executions exec/s
for seeds in tests/fuzz/corpus/*/; do
  target="$(basename "$seeds")"
  program="build-fuzz/tests/fuzz/$target"
  [ -x "$program" ] || { echo "fuzz: no program for the corpus $seeds" >&2; failed+=("$target"); continue; }
  mkdir -p "build-fuzz/corpus/$target" "build-fuzz/crashes/$target"
  log="build-fuzz/crashes/$target/last-run.log"
  status=0
  nice -n "${FUZZ_NICE:-10}" "$program" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/crashes/$target/" \
      "build-fuzz/corpus/$target" "$seeds" >"$log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  rate="$(sed -n 's/.*exec\/s: \([0-9]*\).*/\1/p' "$log" | tail -1)"
  printf '%-24s %14s %10s\n' "$target" "${runs:-?}" "${rate:-?}"
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)|Test unit written' "$log" | head -5 >&2 || true
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failures in ${failed[*]} (logs and inputs in build-fuzz/crashes/)" >&2
  exit 1
fi
