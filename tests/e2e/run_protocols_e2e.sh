#!/usr/bin/env bash
# Integration test of the protocols credited without a TCP or UDP socket to
# go by: ping sockets and the kernel's own echo replies, SCTP, and a program
# in a third namespace C whose traffic A forwards and masquerades out of its
# veth to B. The monitor captures A's veth; tcpdump on it is the reference.
# Forwarding, the masquerade and unprivileged ping sockets are switched on in
# the test's namespaces only. Nothing is routed beyond them.
#   run_protocols_e2e.sh DIR_OF_THE_E2E_PROGRAMS
# shellcheck disable=SC2154  # ns_c, veth_ac, addr_c and the like come from netns_peer_create
set -euo pipefail
bin=${1:?usage: run_protocols_e2e.sh DIR_OF_THE_E2E_PROGRAMS}

# shellcheck source-path=SCRIPTDIR source=netns_pair.sh
source "$(dirname "$0")/netns_pair.sh"
netns_pair_require ip tcpdump
netns_pair_create
netns_peer_create c 238
netns_peer_link c

for ns in "$ns_a" "$ns_b"; do
  ip netns exec "$ns" sysctl -qw net.ipv4.ping_group_range="0 2147483647"
done
ip -n "$ns_c" route add default via "$addr_ac"
netns_masquerade "$ns_a" "$addr_c" "$veth_a"

echo_port=40021
sctp_port=40022
start_ready echo_b "$ns_b" "$bin/e2e_udp_sink" "$addr_b" "$echo_port" echo

rc=0
ip netns exec "$ns_a" "$bin/e2e_protocols_probe" \
  --veth "$veth_a" --local "$addr_a" --remote "$addr_b" --ns-b "$ns_b" --ns-c "$ns_c" --local-c "$addr_c" \
  --echo-port "$echo_port" --sctp-port "$sctp_port" \
  --ping "$bin/e2e_ping_socket" --sctp "$bin/e2e_sctp_transfer" \
  --udp-flow "$bin/e2e_udp_flow" --udp-sink "$bin/e2e_udp_sink" \
  --workdir "$work" || rc=$?
if [[ -s $work/echo_b.err ]]; then
  echo "echo_b: $(cat "$work/echo_b.err")"
  rc=1
fi
exit "$rc"
