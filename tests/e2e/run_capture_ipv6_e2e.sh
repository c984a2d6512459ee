#!/usr/bin/env bash
# Integration test of IPv6 on the live system: TCP, UDP and ICMPv6 between two
# network namespaces over unique-local addresses, and a dual-stack socket
# that sends over IPv4 and IPv6, counted through the capture helper and
# checked against tcpdump's record of the same interface.
#   run_capture_ipv6_e2e.sh DIR_OF_THE_E2E_PROGRAMS
set -euo pipefail
bin=${1:?usage: run_capture_ipv6_e2e.sh DIR_OF_THE_E2E_PROGRAMS}

# shellcheck source-path=SCRIPTDIR source=netns_pair.sh
source "$(dirname "$0")/netns_pair.sh"
netns_pair_require ip tcpdump ping
netns_pair_create ipv6

udp_port=40001
tcp_port=40002
tcp_send=100000
tcp_reply=50000
# One dual-stack echo for every UDP sender, the probe's own IPv4 datagrams included.
start_ready udp_echo "$ns_b" "$bin/e2e_udp_sink" :: "$udp_port" echo
start_ready tcp_server "$ns_b" "$bin/e2e_tcp_server" "$addr6_b" "$tcp_port" "$tcp_send" "$tcp_reply"

rc=0
ip netns exec "$ns_a" "$bin/e2e_capture_ipv6_probe" \
  --local "$addr_a" --remote "$addr_b" --local6 "$addr6_a" --remote6 "$addr6_b" --interface "$veth_a" \
  --udp-port "$udp_port" --tcp-port "$tcp_port" --tcp-send "$tcp_send" --tcp-reply "$tcp_reply" \
  --udp-exchange "$bin/e2e_udp_exchange" --tcp-client "$bin/e2e_tcp_client" \
  --workdir "$work" || rc=$?
for server in udp_echo tcp_server; do
  if [[ -s $work/$server.err ]]; then
    echo "$server: $(cat "$work/$server.err")"
    rc=1
  fi
done
exit "$rc"
