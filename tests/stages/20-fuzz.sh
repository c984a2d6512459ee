#!/usr/bin/env bash
# A short run of every fuzz target (make fuzz runs them longer): 40 s each keeps CI
# within its time with twelve targets.
set -euo pipefail
exec bash "$(dirname "$0")/../fuzz/run.sh" "${SONDREL_FUZZ_SECONDS:-40}"
