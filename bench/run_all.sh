#!/usr/bin/env bash
# Runs every Google Benchmark binary of the build tree, one after the other.
# The namespace-based load scripts (rate, load, side-by-side) need root and run separately.
set -euo pipefail
build=${1:-build}
status=0
while IFS= read -r bin; do
  echo "=== $(basename "$bin")"
  "$bin" --benchmark_counters_tabular=true || status=1
done < <(find "$build/bench" -type f -executable -name '*bench*' | sort)
exit $status
