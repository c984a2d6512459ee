#!/usr/bin/env bash
# Integration test on the live system: real UDP, TCP and ICMP traffic between
# two network namespaces, counted by the engine's capture, discovery and
# accounting, and checked against tcpdump's record of the same interface.
#   run_capture_e2e.sh DIR_OF_THE_E2E_PROGRAMS
set -euo pipefail
bin=${1:?usage: run_capture_e2e.sh DIR_OF_THE_E2E_PROGRAMS}

# shellcheck source-path=SCRIPTDIR source=netns_pair.sh
source "$(dirname "$0")/netns_pair.sh"
netns_pair_require ip tcpdump ping
netns_pair_create

udp_port=40001
tcp_port=40002
tcp_send=100000
tcp_reply=50000
start_ready udp_sink "$ns_b" "$bin/e2e_udp_sink" "$addr_b" "$udp_port"
start_ready tcp_server "$ns_b" "$bin/e2e_tcp_server" "$addr_b" "$tcp_port" "$tcp_send" "$tcp_reply"

rc=0
ip netns exec "$ns_a" "$bin/e2e_capture_probe" \
  --local "$addr_a" --remote "$addr_b" --interface "$veth_a" \
  --udp-port "$udp_port" --tcp-port "$tcp_port" --tcp-send "$tcp_send" --tcp-reply "$tcp_reply" \
  --udp-sender "$bin/e2e_udp_sender" --tcp-client "$bin/e2e_tcp_client" \
  --workdir "$work" || rc=$?
if [[ -s $work/tcp_server.err ]]; then
  echo "tcp server: $(cat "$work/tcp_server.err")"
  rc=1
fi
exit "$rc"
