#!/usr/bin/env bash
# Everything `make test` runs: the main ctest run of the build tree, then the
# extra stages under tests/stages/ (sanitizer trees, short fuzz runs). Ends with
# one summary line of the main run's counts.
set -euo pipefail
build=${1:-build}
jobs=${2:-$(nproc)}
log="$build/ctest-main.log"
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 600 2>&1 | tee "$log"
bash "$(dirname "$0")/run_extra.sh" "$build"
summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
failed=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$summary")
skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .*\(Skipped\)' "$log" || true)
echo "tests: $((total - failed - skipped)) passed, $failed failed, $skipped skipped"
