#!/usr/bin/env bash
# Load run: many processes send UDP datagrams to many remote addresses inside
# network namespaces of this run's own, while a Monitor counts them as the
# main window does (one tick a second, Applications list refreshed each tick,
# a real reverse look-up per new endpoint). Needs root.
#   run_load.sh [BUILD_DIR] [SECONDS] [PROCESSES] [RATE] [ADDRESSES] [BURST]
# MAX_ENDPOINT_ROWS in the environment bounds the endpoint rows (default: the program's).
# Defaults: 120 s, 50 processes, 100000 datagrams/s in all, 10000 remote
# addresses, a new remote address every 12 datagrams of each process (so each
# process meets every address once within the first minute).
#
# The remote addresses are 10.234.0.1 upwards, routed through the veth to the
# other namespace, which owns none of them and does not forward: datagrams
# cross the veth (where they are captured) and end there. No namespace has a
# route anywhere else, so reverse look-ups fail at once without a packet.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
seconds=${2:-120}
processes=${3:-50}
rate=${4:-100000}
addresses=${5:-10000}
burst=${6:-12}
bin=$build/bench/load
payload=32
port=40001
first_remote=10.234.0.1

if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: making network namespaces and capturing need root"
  exit 77
fi
(( addresses <= 65000 )) || { echo "at most 65000 addresses fit 10.234.0.0/16"; exit 2; }

# shellcheck source-path=SCRIPTDIR source=../../tests/e2e/netns_pair.sh
source "$top/tests/e2e/netns_pair.sh"
netns_pair_create
ip -n "$ns_a" route add 10.234.0.0/16 via "$addr_b" dev "$veth_a"

echo "$processes processes, $rate datagrams/s in all for $seconds s, $addresses remote addresses," \
  "a new one every $burst datagrams per process; UDP payload $payload bytes"
ip netns exec "$ns_a" "$bin/load_monitor" --local "$addr_a" --first-remote "$first_remote" \
  --addresses "$addresses" --processes "$processes" --rate "$rate" --seconds "$seconds" --burst "$burst" \
  --payload "$payload" --port "$port" --sender "$bin/load_sender" \
  ${MAX_ENDPOINT_ROWS:+--max-endpoint-rows "$MAX_ENDPOINT_ROWS"} | tee "$work/load.out" | grep '^sample ' || true
line=$(grep '^result ' "$work/load.out") || { echo "FAIL: the monitor gave no result"; exit 1; }
declare -A f=()
for pair in ${line#result }; do f[${pair%%=*}]=${pair#*=}; done
cat <<REPORT
datagrams sent         ${f[sent]} in ${f[send_seconds]} s
datagrams counted      ${f[counted]} (lost $(( f[sent] - f[counted] )), remainder ${f[counted_remainder]} bytes, ${f[unowned_bytes]} bytes under "UDP protocol")
endpoint rows          ${f[endpoints]}
monitor CPU            ${f[cpu_seconds]} s
resident memory        ${f[rss_before_kb]} kB before, ${f[rss_after_kb]} kB after, peak (VmHWM) ${f[vmhwm_kb]} kB
peak thread count      ${f[peak_threads]}
peak resolvers alive   ${f[peak_lookups]} look-ups at once, bound 256 (look-ups started ${f[lookups_started]}, names found ${f[names]})
engine messages        ${f[messages]}
capture helper         ${f[forwarded]} records forwarded, ${f[kernel_drops]} dropped in the kernel ring
REPORT
