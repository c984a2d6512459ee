#!/usr/bin/env bash
# The outer packets of a kernel tunnel belong to the tunnel: in a network
# namespace of this run's own, a vxlan interface comes up, and owner
# discovery must claim its UDP port for "vx0 tunnel" (tunnel_claims_probe.cpp).
#   run_tunnel_claims_test.sh PROBE
set -euo pipefail
probe=${1:?usage: run_tunnel_claims_test.sh PROBE}

# shellcheck source-path=SCRIPTDIR source=../../e2e/netns_pair.sh
source "$(dirname "$0")/../../e2e/netns_pair.sh"
netns_pair_require ip
netns_loopback_create

port=4789
if ! ip -n "$ns_a" link add vx0 type vxlan id 42 dstport "$port" local 127.0.0.1 2>"$work/vxlan.err"; then
  echo "skipped: this kernel makes no vxlan interface: $(cat "$work/vxlan.err")"
  exit 77
fi
ip -n "$ns_a" link set vx0 up
ip netns exec "$ns_a" "$probe" vx0 "$port"
