#!/usr/bin/env bash
# Capture rate and cost: 64-byte UDP datagrams at fixed rates between two
# network namespaces of this run's own, counted by the engine as the main
# window runs it; sender and monitor pinned to different cores. Needs root.
#   run_rate.sh [BUILD_DIR] [SECONDS] [RATE...]
# In the environment, RATE_INTERFACES="address all" measures each rate once per
# capture choice named: "address" (the default) captures on the interface of
# the sending address, as the settings file's own choice does; anything else
# is what --interfaces takes ("all", or names joined by ",").
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
seconds=${2:-10}
shift $(( $# > 2 ? 2 : $# ))
rates=("$@")
(( ${#rates[@]} )) || rates=(10000 50000 100000 200000 300000)
bin=$build/bench/rate
payload=64
read -r -a captures <<<"${RATE_INTERFACES:-address}"
sink_port=40001

if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: making network namespaces and capturing need root"
  exit 77
fi
cpus=$(nproc)
if (( cpus < 2 )); then
  echo "skipped: sender and monitor need two cores"
  exit 77
fi

# shellcheck source-path=SCRIPTDIR source=../../tests/e2e/netns_pair.sh
source "$top/tests/e2e/netns_pair.sh"
netns_pair_create
start_ready sink "$ns_b" "$bin/rate_sink" "$addr_b" "$sink_port"

echo "UDP payload $payload bytes (IPv4 length $((payload + 28))), $seconds s per rate;" \
  "monitor on CPU 0, sender on CPU 1"
# "achieved/s": what the sender managed (it stretches its run when it cannot keep up);
# "forwarded": records the capture helper sent to the window (every frame decoded, also
# the warm-up and marker datagrams); "drop": the kernel ring's drops;
# "CPU %": window plus capture helper utime+stime over the sending time, in percent of one core.
printf '%8s %-8s %10s %10s %10s %10s %6s %10s %6s %8s %8s %6s\n' \
  "rate/s" "capture" "achieved/s" "sent" "peer rx" "counted" "lost" "forwarded" "drop" "window s" "helper s" "CPU %"
for rate in "${rates[@]}"; do
  for capture in "${captures[@]}"; do
    choice=()
    [[ $capture == address ]] || choice=(--interfaces "$capture")
    line=$(ip netns exec "$ns_a" taskset -c 0 "$bin/rate_monitor" \
      --local "$addr_a" --remote "$addr_b" --sink-port "$sink_port" \
      --payload "$payload" --rate "$rate" --seconds "$seconds" \
      --sender "$bin/rate_paced_sender" --sender-cpu 1 "${choice[@]}" \
      --peer-rx "ip netns exec $ns_b cat /sys/class/net/$veth_b/statistics/rx_packets")
    [[ -n ${RATE_RAW:-} ]] && echo "$line"
    declare -A f=()
    for pair in $line; do f[${pair%%=*}]=${pair#*=}; done
    printf '%8s %-8s %10.0f %10s %10s %10s %6s %10s %6s %8s %8s %6s\n' \
      "$rate" "$capture" "$(awk "BEGIN { print ${f[sent]} / ${f[send_seconds]} }")" "${f[sent]}" "${f[peer_rx]}" \
      "${f[counted]}" "$(( f[sent] - f[counted] ))" \
      "${f[forwarded]}" "${f[kernel_drop]}" "${f[window_cpu_seconds]}" "${f[helper_cpu_seconds]}" "${f[cpu_percent]}"
    if [[ ${f[unowned_bytes]} != 0 || ${f[counted_remainder]} != 0 ]]; then
      echo "         note: ${f[unowned_bytes]} bytes counted under \"UDP protocol\", remainder ${f[counted_remainder]}"
    fi
    unset f
  done
done
