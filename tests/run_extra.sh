#!/usr/bin/env bash
# Test stages beyond the main ctest run (sanitizer trees, short fuzz runs).
# Each stage is a script under tests/stages/, run in name order; any failure fails the run.
set -euo pipefail
build=${1:-build}
shopt -s nullglob
for stage in "$(dirname "$0")"/stages/*.sh; do
  echo "=== $(basename "$stage")"
  bash "$stage" "$build"
done
