#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (a build folder of their own, every
# library instrumented with ASan and UBSan) and runs each on its checked-in
# seed corpus (fuzz/corpus/<target>/).
#
#   scripts/fuzz.sh [--runs N] [--time SECONDS] [target...]
#
# Targets: fuzz_frame fuzz_request fuzz_reply fuzz_filterlist (default: all).
# --runs N      executions per target (default 20000, a quick check). A full
#               run is at least 1000000 each: scripts/fuzz.sh --runs 1000000
# --time S      also stop each target after S seconds (default: no limit).
# New inputs the fuzzer finds go to <build>/corpus/<target>/, never into the
# checked-in corpus; a failing input is kept in <build>/artifacts/ and the
# script exits 1. QUV_FUZZ_BUILD_DIR chooses the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

runs=20000
seconds=0
targets=()
while (($#)); do
  case $1 in
    --runs) runs=${2:?--runs needs a number}; shift 2 ;;
    --time) seconds=${2:?--time needs seconds}; shift 2 ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    -*) echo "fuzz: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
all=(fuzz_frame fuzz_request fuzz_reply fuzz_filterlist)
((${#targets[@]})) || targets=("${all[@]}")
for target in "${targets[@]}"; do
  if [[ ! " ${all[*]} " == *" $target "* ]]; then
    echo "fuzz: unknown target $target (known: ${all[*]})" >&2
    exit 2
  fi
done
[[ $runs =~ ^[0-9]+$ ]] || { echo "fuzz: --runs wants a number, got $runs" >&2; exit 2; }
[[ $seconds =~ ^[0-9]+$ ]] || { echo "fuzz: --time wants seconds, got $seconds" >&2; exit 2; }

bash scripts/setup.sh --fuzz

build_dir=${QUV_FUZZ_BUILD_DIR:-$root/build-fuzz}
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DQUV_FUZZ=ON >/dev/null
cmake --build "$build_dir" -j "${QUV_BUILD_JOBS:-2}" --target "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

failed=()
for target in "${targets[@]}"; do
  work="$build_dir/corpus/$target"
  artifacts="$build_dir/artifacts/$target/"
  mkdir -p "$work" "$artifacts"
  limits=(-runs="$runs")
  ((seconds > 0)) && limits+=(-max_total_time="$seconds")
  echo "fuzz: $target, ${limits[*]}"
  # -timeout: one input taking this long is a hang, and fails the run.
  if "$build_dir/bin/$target" "${limits[@]}" -timeout=10 -rss_limit_mb=4096 \
       -artifact_prefix="$artifacts" -print_final_stats=1 \
       "$work" "$root/fuzz/corpus/$target" 2>"$build_dir/$target.log"; then
    grep -E '^stat::number_of_executed_units|^Done' "$build_dir/$target.log" | tr '\n' ' '
    echo
  else
    tail -n 40 "$build_dir/$target.log" >&2
    echo "fuzz: $target FAILED; input kept in $artifacts" >&2
    failed+=("$target")
  fi
done
if ((${#failed[@]})); then
  echo "fuzz: ${#failed[@]} of ${#targets[@]} targets failed: ${failed[*]}"
  exit 1
fi
echo "fuzz: ${#targets[@]} passed, 0 failed"
