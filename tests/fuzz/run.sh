#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of
# seconds (default 60) on a scratch copy of its checked-in seed corpus.
set -euo pipefail
seconds=${1:-60}
top=$(cd "$(dirname "$0")/../.." && pwd)
build="$top/build-fuzz"
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSONDREL_ENGINE_ONLY=ON -DSONDREL_BUILD_BENCH=OFF -DSONDREL_BUILD_FUZZ=ON >/dev/null
targets=$(cd "$top/tests/fuzz" && ls ./*_fuzz.cpp | sed 's|^\./||; s|\.cpp$||')
# shellcheck disable=SC2086
cmake --build "$build" -j "$(nproc)" --target $targets
scratch=$(mktemp -d)
shopt -s nullglob
trap 'rm -rf "$scratch"' EXIT
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in $targets; do
  name=${target%_fuzz}
  mkdir -p "$scratch/$name"
  echo "--- $target: ${seconds}s"
  "$build/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$scratch/" \
    "$scratch/$name" "$top/tests/fuzz/corpus/$name" 2>&1 | grep -E '^stat::number_of_executed_units|ERROR|SUMMARY|Done' || true
  # ls of several patterns fails when any one matches nothing: count the matches instead.
  found=("$scratch"/crash-* "$scratch"/leak-* "$scratch"/timeout-* "$scratch"/oom-*)
  if (( ${#found[@]} > 0 )); then
    echo "$target found a failing input:"; ls "$scratch"
    exit 1
  fi
done
