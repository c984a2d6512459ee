#!/usr/bin/env bash
# Integration test on the live system: the capture interface is switched 50
# times between two addresses of one veth while datagrams flow from the first.
#   run_interface_change_e2e.sh DIR_OF_THE_FAULT_PROGRAMS DIR_OF_THE_E2E_PROGRAMS
set -euo pipefail
bin=${1:?usage: run_interface_change_e2e.sh DIR_OF_THE_FAULT_PROGRAMS DIR_OF_THE_E2E_PROGRAMS}
e2e_bin=${2:?usage: run_interface_change_e2e.sh DIR_OF_THE_FAULT_PROGRAMS DIR_OF_THE_E2E_PROGRAMS}

if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: making network namespaces and capturing need root"
  exit 77
fi
command -v ip >/dev/null || { echo "FAIL: ip is not installed"; exit 1; }

# shellcheck source-path=SCRIPTDIR source=../e2e/netns_pair.sh
source "$(dirname "$0")/../e2e/netns_pair.sh"
netns_pair_create
# The second address of the same interface: capture restarts on the same device.
addr_c=${addr_a%.*}.3
ip -n "$ns_a" addr add "$addr_c/24" dev "$veth_a"

sink_port=40001
start_ready sink "$ns_b" "$e2e_bin/e2e_udp_sink" "$addr_b" "$sink_port"
ip netns exec "$ns_a" "$bin/fault_interface_change_probe" --first "$addr_a" --second "$addr_c" \
  --remote "$addr_b" --port "$sink_port" --changes 50 --workdir "$work"
