#!/usr/bin/env bash
# The sample exposition through `promtool check metrics` (Debian package
# prometheus), which parses it as Prometheus does and lints names and types.
#   run_promtool_check.sh METRICS_SAMPLE_PROGRAM
set -euo pipefail
sample=${1:?usage: run_promtool_check.sh METRICS_SAMPLE_PROGRAM}
if ! command -v promtool >/dev/null; then
  echo "skipped: promtool is not installed (apt-get install prometheus)"
  exit 77
fi
text=$("$sample")
printf '%s\n' "$text"
# promtool reports lint findings on stdout or stderr depending on its version, and exits non-zero for any.
if ! report=$(printf '%s\n' "$text" | promtool check metrics 2>&1); then
  echo "FAIL: promtool check metrics: $report"
  exit 1
fi
[[ -z $report ]] || { echo "FAIL: promtool check metrics: $report"; exit 1; }
echo "PASS"
