#!/usr/bin/env bash
# Runs every Google Benchmark binary of the build tree, one after the other,
# then, as root, the attribution scenarios (bench/attribution, about two
# minutes; its idle and side-by-side parts are left to a run of their own).
# The other namespace-based load scripts (rate, load, side-by-side) run separately.
set -euo pipefail
build=${1:-build}
status=0
while IFS= read -r bin; do
  echo "=== $(basename "$bin")"
  "$bin" --benchmark_counters_tabular=true || status=1
done < <(find "$build/bench" -type f -executable -name '*bench*' | sort)
if [[ $(id -u) -eq 0 ]]; then
  echo "=== attribution"
  ATTR_IDLE_SECONDS=0 ATTR_COMPARE_SECONDS=0 bash "$(dirname "$0")/attribution/run_attribution.sh" "$build" || status=1
else
  echo "=== attribution: skipped (needs root)"
fi
exit $status
