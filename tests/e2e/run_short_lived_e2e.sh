#!/usr/bin/env bash
# Integration test on the live system: programs living a millisecond or two
# send UDP bursts and fetch over TCP between two network namespaces; every
# byte tcpdump saw of them must be counted under their own program.
#   run_short_lived_e2e.sh DIR_OF_THE_E2E_PROGRAMS
set -euo pipefail
bin=${1:?usage: run_short_lived_e2e.sh DIR_OF_THE_E2E_PROGRAMS}

# shellcheck source-path=SCRIPTDIR source=netns_pair.sh
source "$(dirname "$0")/netns_pair.sh"
netns_pair_require ip tcpdump
netns_pair_create

udp_port=40011
tcp_port=40012
tcp_send=2000
tcp_reply=300000
start_ready udp_sink "$ns_b" "$bin/e2e_udp_sink" "$addr_b" "$udp_port"
start_ready tcp_server "$ns_b" "$bin/e2e_tcp_server" "$addr_b" "$tcp_port" "$tcp_send" "$tcp_reply"

ip netns exec "$ns_a" "$bin/e2e_short_lived_probe" \
  --local "$addr_a" --remote "$addr_b" --interface "$veth_a" \
  --udp-port "$udp_port" --tcp-port "$tcp_port" --tcp-send "$tcp_send" \
  --burst "$bin/e2e_udp_burst" --fetch "$bin/e2e_tcp_fetch" --workdir "$work"
