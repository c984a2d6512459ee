#!/usr/bin/env bash
# Integration test of capture on every interface: namespace A joined to B and
# to C by a veth pair each, with its loopback besides; real UDP and TCP
# programs in A trade over all three at once, counted through the capture
# helper with the set "all" and checked per interface against a tcpdump on
# each. A fourth pair, to D, is made while the monitor runs. Nothing is routed
# beyond the test's own namespaces.
#   run_interfaces_e2e.sh DIR_OF_THE_E2E_PROGRAMS
# shellcheck disable=SC2154  # ns_c, veth_ac, addr_d and the like come from netns_peer_create
set -euo pipefail
bin=${1:?usage: run_interfaces_e2e.sh DIR_OF_THE_E2E_PROGRAMS}

# shellcheck source-path=SCRIPTDIR source=netns_pair.sh
source "$(dirname "$0")/netns_pair.sh"
netns_pair_require ip tcpdump
netns_pair_create
netns_peer_create c 236
netns_peer_link c
netns_peer_create d 237

udp_port=40001
tcp_port=40002
lo_tcp_port=40003
tcp_send=100000
tcp_reply=50000
lo_reply=200000
start_ready echo_b "$ns_b" "$bin/e2e_udp_sink" "$addr_b" "$udp_port" echo
start_ready server_b "$ns_b" "$bin/e2e_tcp_server" "$addr_b" "$tcp_port" "$tcp_send" "$tcp_reply"
start_ready echo_c "$ns_c" "$bin/e2e_udp_sink" "$addr_c" "$udp_port" echo
start_ready server_c "$ns_c" "$bin/e2e_tcp_server" "$addr_c" "$tcp_port" "$tcp_send" "$tcp_reply"
start_ready lo_echo "$ns_a" "$bin/e2e_udp_sink" 127.0.0.1 "$udp_port" echo
start_ready lo_server "$ns_a" "$bin/e2e_tcp_server" 127.0.0.1 "$lo_tcp_port" 0 "$lo_reply"
# Bound to any address: it takes D's datagrams once the link to D exists.
start_ready sink_d "$ns_d" "$bin/e2e_udp_sink" 0.0.0.0 "$udp_port"

rc=0
ip netns exec "$ns_a" "$bin/e2e_interfaces_probe" \
  --veth-b "$veth_a" --local-b "$addr_a" --remote-b "$addr_b" \
  --veth-c "$veth_ac" --local-c "$addr_ac" --remote-c "$addr_c" \
  --veth-d "$veth_ad" --remote-d "$addr_d" --add-interface "$(netns_peer_link_command d)" --sink-d-port "$udp_port" \
  --udp-port "$udp_port" --tcp-port "$tcp_port" --tcp-send "$tcp_send" --tcp-reply "$tcp_reply" \
  --lo-tcp-port "$lo_tcp_port" --lo-reply "$lo_reply" \
  --udp-exchange "$bin/e2e_udp_exchange" --udp-echo "$bin/e2e_udp_sink" \
  --tcp-client "$bin/e2e_tcp_client" --tcp-server "$bin/e2e_tcp_server" \
  --workdir "$work" || rc=$?
for server in echo_b server_b echo_c server_c lo_echo lo_server sink_d; do
  if [[ -s $work/$server.err ]]; then
    echo "$server: $(cat "$work/$server.err")"
    rc=1
  fi
done
exit "$rc"
