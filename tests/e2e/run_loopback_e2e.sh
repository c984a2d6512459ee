#!/usr/bin/env bash
# Integration test of loopback on the live system: a TCP download over
# 127.0.0.1 and over ::1 and a UDP exchange over 127.0.0.1, all inside one
# network namespace of this run's own, counted through the capture helper on
# `lo` and checked against tcpdump's record of it. Both ends are local, so
# each program is credited on its own port with what it sent and received.
#   run_loopback_e2e.sh DIR_OF_THE_E2E_PROGRAMS
set -euo pipefail
bin=${1:?usage: run_loopback_e2e.sh DIR_OF_THE_E2E_PROGRAMS}

# shellcheck source-path=SCRIPTDIR source=netns_pair.sh
source "$(dirname "$0")/netns_pair.sh"
netns_pair_require ip tcpdump
netns_loopback_create

udp_port=40001
tcp_port=40002
tcp6_port=40003
tcp_reply=200000
tcp6_reply=100000
start_ready udp_echo "$ns_a" "$bin/e2e_udp_sink" 127.0.0.1 "$udp_port" echo
start_ready tcp_server "$ns_a" "$bin/e2e_tcp_server" 127.0.0.1 "$tcp_port" 0 "$tcp_reply"
start_ready tcp6_server "$ns_a" "$bin/e2e_tcp_server" ::1 "$tcp6_port" 0 "$tcp6_reply"

rc=0
ip netns exec "$ns_a" "$bin/e2e_loopback_probe" \
  --udp-port "$udp_port" --tcp-port "$tcp_port" --tcp6-port "$tcp6_port" \
  --tcp-reply "$tcp_reply" --tcp6-reply "$tcp6_reply" \
  --udp-echo "$bin/e2e_udp_sink" --udp-exchange "$bin/e2e_udp_exchange" \
  --tcp-server "$bin/e2e_tcp_server" --tcp-client "$bin/e2e_tcp_client" \
  --workdir "$work" || rc=$?
for server in udp_echo tcp_server tcp6_server; do
  if [[ -s $work/$server.err ]]; then
    echo "$server: $(cat "$work/$server.err")"
    rc=1
  fi
done
exit "$rc"
