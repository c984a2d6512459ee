#!/usr/bin/env bash
# Integration test on the live system: the real program runs headless with
# its metrics endpoint on the namespace's loopback, captures one end of a veth
# pair between two network namespaces of this run's own, and the counters it
# serves for a known UDP flow must equal tcpdump's totals of that flow. The
# scrape is then checked by promtool, when installed, and the program must end
# on SIGTERM with status 0.
#   run_metrics_e2e.sh SONDREL_BINARY DIR_OF_THE_E2E_PROGRAMS
set -euo pipefail
sondrel=${1:?usage: run_metrics_e2e.sh SONDREL_BINARY DIR_OF_THE_E2E_PROGRAMS}
bin=${2:?usage: run_metrics_e2e.sh SONDREL_BINARY DIR_OF_THE_E2E_PROGRAMS}

# shellcheck source-path=SCRIPTDIR source=netns_pair.sh
source "$(dirname "$0")/netns_pair.sh"
netns_pair_require ip tcpdump
netns_pair_create

udp_port=40001
metrics_port=9977
config=$work/config
mkdir -p "$config/Sondrelix" "$work/reports" "$work/home"
# Daily reports off: this run is about the counters, whatever the time of day.
"$bin/e2e_write_settings" "$config/Sondrelix" 0 "$work/reports" "$addr_a"

start_ready udp_sink "$ns_b" "$bin/e2e_udp_sink" "$addr_b" "$udp_port"

# No display at all: headless mode must not need one.
ip netns exec "$ns_a" env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
  HOME="$work/home" XDG_CONFIG_HOME="$config" TZ=UTC LC_ALL=C.UTF-8 \
  "$bin/e2e_metrics_probe" --sondrel "$sondrel" --local "$addr_a" --remote "$addr_b" --interface "$veth_a" \
  --metrics-port "$metrics_port" --udp-port "$udp_port" --udp-flow "$bin/e2e_udp_flow" --workdir "$work"

if command -v promtool >/dev/null; then
  if ! report=$(promtool check metrics <"$work/scrape.txt" 2>&1); then
    echo "FAIL: promtool check metrics on the live scrape: $report"
    exit 1
  fi
  echo "promtool check metrics: the live scrape is clean"
else
  echo "promtool is not installed: the live scrape was not linted"
fi
echo "PASS"
