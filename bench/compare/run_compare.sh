#!/usr/bin/env bash
# Side by side with nethogs: the same traffic, on the same veth, at the same
# time, counted by Sondrel's engine (compare_monitor), by nethogs in trace
# mode and by tcpdump as the independent truth. Two network namespaces of this
# run's own, 10.234.N.1 and 10.234.N.2; nothing else is ever addressed.
# Needs root, nethogs, tcpdump and python3.
#   run_compare.sh [BUILD_DIR] [SECONDS_PER_FLOW_CASE] [REPORT_FILE]
# Prints the tables (Markdown) at the end and keeps the raw figures of every
# case in REPORT_FILE's folder when one is given. In the environment:
#   COMPARE_CASES="tcp-10000 idle"  only these cases (default: all)
#   COMPARE_OWNERS=proc             Sondrel without eBPF: the monitor runs under
#                                   capsh without cap_bpf and cap_perfmon, so
#                                   its capture helper cannot load the probes
#   COMPARE_BASELINE=0              no second run of each case without Sondrel
#                                   (default: one, for the machine's CPU with
#                                   Sondrel off against on, kernel side included)
#   COMPARE_INTERFACES=all          both tools on every interface, loopback too:
#                                   the monitor with --interfaces all, nethogs
#                                   with -a and no device (default: the veth alone)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${1:-$top/build}
seconds=${2:-20}
report=${3:-}
bin=$build/bench/compare
rate_bin=$build/bench/rate
processes=5
payload=64          # UDP payload and TCP write size: IPv4 length 92 per datagram
udp_port=40001
tcp_port=40002
burst_processes=200
burst_spawn_per_second=100
cases=${COMPARE_CASES:-}
owners=${COMPARE_OWNERS:-ebpf}
baseline=${COMPARE_BASELINE:-1}
interfaces=${COMPARE_INTERFACES:-}
# The veth's name is this run's own, so no list of names could be given.
[[ -z $interfaces || $interfaces == all ]] || { echo "FAIL: COMPARE_INTERFACES takes \"all\" only"; exit 1; }
monitor_prefix=()
# shellcheck disable=SC2054,SC2016  # one list of capabilities; $0 and $@ are the inner shell's
[[ $owners == proc ]] && monitor_prefix=(capsh --drop=cap_bpf,cap_perfmon -- -c 'exec "$0" "$@"')

# shellcheck source-path=SCRIPTDIR source=../bench_pair.sh
source "$here/../bench_pair.sh"
netns_pair_require ip nethogs tcpdump python3 ${monitor_prefix[0]:+"${monitor_prefix[0]}"}
for program in "$bin/compare_monitor" "$bin/compare_load" "$bin/compare_pcap_flows" "$bin/compare_tcp_writer" \
  "$bin/compare_tcp_sink" "$bin/compare_udp_sendto" "$rate_bin/rate_paced_sender" "$rate_bin/rate_sink"; do
  [[ -x $program ]] || { echo "FAIL: $program is not built"; exit 1; }
done

# "utime+stime in ticks, VmHWM in kB" of running processes, summed: Sondrel
# is the monitor and its capture helper.
process_cost() {
  local stat pid ticks=0 peak=0
  local -a fields
  for pid in "$@"; do
    stat=$(<"/proc/$pid/stat")
    stat=${stat##*) }
    read -r -a fields <<<"$stat"
    ticks=$(( ticks + fields[11] + fields[12] ))
    peak=$(( peak + $(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status") ))
  done
  echo "$ticks $peak"
}

# "busy idle" jiffies of the whole machine, to tell how loaded it was.
machine_jiffies() {
  awk '/^cpu / { idle = $5 + $6; busy = 0; for (i = 2; i <= NF; ++i) busy += $i; print busy - idle, idle }' /proc/stat
}

# run_case NAME KIND PACKETS_PER_SECOND; KIND is one of
#   idle          no traffic for SECONDS/2: what each tool costs by itself
#   udp, tcp      5 long-lived senders sharing the rate, SECONDS long
#   burst         200 short-lived UDP senders, 20 datagrams over one second
#                 each, 100 new processes (and ports) a second; connected sockets
#   burst-sendto  the same from unconnected sockets (sendto)
#   A 4th argument "off" runs the case without Sondrel, all else the same, and
#   keeps only the machine's CPU, beside the case's own figures.
run_case() {
  local name=$1 kind=$2 rate=$3 monitor=${4:-on}
  [[ -z $cases || " $cases " == *" $name "* ]] || return 0
  local dir=$work/$name
  [[ $monitor == on ]] || dir=$work/$name-off
  mkdir -p "$dir"
  local sender=$rate_bin/rate_paced_sender protocol=17 port=$udp_port
  local -a shape=(--processes "$processes" --rate $(( rate / processes )) --seconds "$seconds" --settle-ms 2000)
  case $kind in
    tcp) sender=$bin/compare_tcp_writer protocol=6 port=$tcp_port ;;
    burst-sendto) sender=$bin/compare_udp_sendto ;;
  esac
  if [[ $kind == burst* ]]; then
    shape=(--processes "$burst_processes" --rate 20 --seconds 1 --spawn-per-second "$burst_spawn_per_second")
  fi

  ip netns exec "$ns_a" tcpdump -i "$veth_a" -n -s 64 -B 65536 -w "$dir/truth.pcap" 2>"$dir/tcpdump.err" &
  local tcpdump_pid=$!
  wait_for_text "$dir/tcpdump.err" "listening on" 10 || { echo "FAIL: tcpdump did not start"; exit 1; }
  local -a monitor_capture=() nethogs_devices=("$veth_a")
  [[ -z $interfaces ]] || monitor_capture=(--interfaces "$interfaces") nethogs_devices=(-a)
  local sondrel_pid=$$ helper_pid=$$ mode=off
  if [[ $monitor == on ]]; then
    ip netns exec "$ns_a" "${monitor_prefix[@]}" "$bin/compare_monitor" --local "$addr_a" --remote "$addr_b" \
      --sink-port "$udp_port" "${monitor_capture[@]}" >"$dir/sondrel.out" 2>"$dir/sondrel.err" &
    sondrel_pid=$!
    wait_for_text "$dir/sondrel.out" "helper" 20 || { echo "FAIL: compare_monitor: $(cat "$dir/sondrel.err")"; exit 1; }
    helper_pid=$(monitor_says "$dir/sondrel.out" helper)
    mode=$(monitor_says "$dir/sondrel.out" mode)
    [[ $helper_pid != 0 ]] || { echo "FAIL: compare_monitor runs no capture helper"; exit 1; }
    if [[ $owners == proc && $mode != ProcPolling ]] || [[ $owners != proc && $mode != Ebpf ]]; then
      echo "FAIL: Sondrel finds owners by $mode, not as asked ($owners)"
      exit 1
    fi
  fi
  ip netns exec "$ns_a" nethogs -t -C -v 2 -d 1 "${nethogs_devices[@]}" >"$dir/nethogs.out" 2>"$dir/nethogs.err" &
  local nethogs_pid=$!
  wait_for_text "$dir/nethogs.out" "Refreshing:" 10 || { echo "FAIL: nethogs: $(cat "$dir/nethogs.err")"; exit 1; }

  local before_sondrel before_nethogs before_machine started
  before_sondrel=$(process_cost "$sondrel_pid" "$helper_pid")
  before_nethogs=$(process_cost "$nethogs_pid")
  before_machine=$(machine_jiffies)
  started=$(date +%s.%N)
  if [[ $kind == idle ]]; then
    sleep $(( seconds / 2 ))
    : >"$dir/load.out"
  else
    ip netns exec "$ns_a" "$bin/compare_load" --sender "$sender" --protocol "$protocol" \
      --local "$addr_a" --remote "$addr_b" --port "$port" --payload "$payload" "${shape[@]}" \
      >"$dir/load.out" 2>"$dir/load.err" || { echo "FAIL: load of $name: $(cat "$dir/load.err")"; exit 1; }
  fi
  # nethogs prints once a second, the monitor ticks once a second: both get
  # time to show the last packets before the figures are read.
  sleep 3
  {
    echo "case $name $kind $rate"
    echo "window $(awk "BEGIN { print $(date +%s.%N) - $started }")"
    echo "sondrel $before_sondrel $(process_cost "$sondrel_pid" "$helper_pid")"
    echo "mode $mode"
    echo "capture ${interfaces:-$veth_a}"
    echo "nethogs $before_nethogs $(process_cost "$nethogs_pid")"
    echo "tcpdump 0 0 $(process_cost "$tcpdump_pid")"
    echo "machine $before_machine $(machine_jiffies)"
    echo "loadavg $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "ticks $(getconf CLK_TCK)"
  } >"$dir/costs.txt"

  # nethogs first: the monitor's closing marker datagram is none of its business.
  kill -INT "$nethogs_pid"
  wait "$nethogs_pid" || true
  if [[ $monitor == on ]]; then
    kill -TERM "$sondrel_pid"
    wait "$sondrel_pid" || echo "note: compare_monitor: $(cat "$dir/sondrel.err")"
  fi
  kill -INT "$tcpdump_pid"
  wait "$tcpdump_pid" || true
  if [[ $monitor != on ]]; then
    mkdir -p "$work/$name"
    grep -E '^(machine|window) ' "$dir/costs.txt" | sed 's/^\([a-z]*\) /\1_off /' >"$work/$name/baseline.txt"
    rm -rf -- "$dir"
    echo "  $name without Sondrel done"
    return 0
  fi
  "$bin/compare_pcap_flows" "$dir/truth.pcap" "$addr_a" >"$dir/truth.txt"
  rm -f -- "$dir/truth.pcap"
  echo "tcpdump_drops $(awk '/dropped by kernel/ { print $1 }' "$dir/tcpdump.err")" >>"$dir/costs.txt"
  echo "  $name done ($(wc -l <"$dir/load.out") senders)"
}

bench_pair_create cmp 234
start_ready udp_sink "$ns_b" "$rate_bin/rate_sink" "$addr_b" "$udp_port"
start_ready tcp_sink "$ns_b" "$bin/compare_tcp_sink" "$addr_b" "$tcp_port"

echo "nethogs $(dpkg-query -W -f '${Version}' nethogs 2>/dev/null || nethogs -V), $(nproc) cores," \
  "$seconds s per flow case, $processes processes, payload $payload bytes, capture ${interfaces:-on $veth_a alone}"
# run_both NAME KIND RATE: the case without Sondrel first (when asked), then with it.
run_both() {
  [[ $baseline == 0 ]] || run_case "$@" off
  run_case "$@"
}
run_both idle idle 0
for rate in 10000 50000 100000; do
  run_both "udp-$rate" udp "$rate"
done
for rate in 10000 50000 100000; do
  run_both "tcp-$rate" tcp "$rate"
done
run_both burst burst 0
run_both burst-sendto burst-sendto 0

[[ -z $report ]] || mkdir -p -- "$(dirname "$report")"
python3 "$here/compare_report.py" "$work" "$(dpkg-query -W -f '${Version}' nethogs 2>/dev/null || echo '?')" \
  | tee "${report:-/dev/null}"
if [[ -n $report ]]; then
  raw=$(dirname "$report")/compare-raw
  rm -rf -- "$raw"
  cp -r -- "$work" "$raw"
fi
