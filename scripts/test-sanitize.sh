#!/usr/bin/env bash
# Builds the project with AddressSanitizer and UndefinedBehaviorSanitizer
# (the `sanitize` preset) and runs the whole test suite under them. Any
# report fails the run: UBSan stops at the first finding, ASan always does,
# and LeakSanitizer reports a leak at exit unless scripts/lsan.supp names it.
#
#   scripts/test-sanitize.sh [ctest arguments...]
#
# QUV_SANITIZE_BUILD_DIR chooses the build folder (default: the preset's).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build_dir=${QUV_SANITIZE_BUILD_DIR:-$root/build-sanitize}
jobs=${QUV_BUILD_JOBS:-2}

start=$(date +%s)
cmake --preset sanitize -B "$build_dir"
cmake --build "$build_dir" -j "$jobs"
built=$(date +%s)
echo "test-sanitize: build took $((built - start)) s"

# Every test program and every server it starts inherits these.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export QT_QPA_PLATFORM=offscreen

# Instrumented code runs a few times slower; the per-test timeout grows
# with it.
status=0
ctest --test-dir "$build_dir" --output-on-failure -j "${CTEST_PARALLEL_LEVEL:-2}" \
  --timeout 1800 --no-tests=error "$@" || status=$?
echo "test-sanitize: tests took $(($(date +%s) - built)) s"
exit "$status"
