#!/usr/bin/env bash
# Checks that every C++ source of the tree is formatted as .clang-format says, with Debian's
# clang-format 14 (installed when missing). Lists the files that are not and ends with status 1;
# `clang-format-14 -i FILE` formats one.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh clang-format
format="$(command -v clang-format-14 || command -v clang-format)"

mapfile -d '' files < <(find . \( -path './build*' -o -path './.git' -o -path './out' \) -prune -o \
    -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)
# One run over every file; each finding names its file first ("FILE:LINE:COL: error: ...").
mapfile -t unformatted < <("$format" --style=file --dry-run --Werror "${files[@]}" 2>&1 |
    sed -n 's|^\./\([^:]*\):[0-9]*:[0-9]*: error: .*|\1|p' | sort -u)

if [ ${#unformatted[@]} -ne 0 ]; then
  echo "check-format: ${#unformatted[@]} of ${#files[@]} files are not formatted as .clang-format says:" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "check-format: all ${#files[@]} files formatted"
