#!/usr/bin/env bash
# The engine and its tests again under AddressSanitizer + UndefinedBehaviorSanitizer, and
# under ThreadSanitizer. Only the Qt-free engine is built here, to keep CI short. Any
# sanitizer report makes the test that triggered it fail.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
jobs=$(nproc)

run_tree() {
  local dir=$1 sanitize=$2
  cmake -S "$top" -B "$top/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONDREL_ENGINE_ONLY=ON \
    -DSONDREL_BUILD_BENCH=OFF -DSONDREL_BUILD_E2E=OFF -DSONDREL_SANITIZE="$sanitize" >/dev/null
  cmake --build "$top/$dir" -j "$jobs"
  ctest --test-dir "$top/$dir" --output-on-failure -j "$jobs" --timeout 600 -E '^e2e_'
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "--- AddressSanitizer + UndefinedBehaviorSanitizer"
run_tree build-asan address,undefined
echo "--- ThreadSanitizer"
run_tree build-tsan thread
