#!/usr/bin/env bash
# Builds, checks the formatting of every C++ file of the project, then runs
# the whole test suite. The last line is ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

mapfile -t sources < <(find . \( -path ./.git -o -path './build*' -o -path ./out \) -prune -o \
  -type f \( -name '*.cpp' -o -name '*.h' \) -print | sort)
if ! clang-format --dry-run --Werror "${sources[@]}"; then
  echo "test: the files above are not formatted; run clang-format -i on them" >&2
  exit 1
fi
echo "test: ${#sources[@]} C++ files formatted"

export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-2}"
ctest --preset default
