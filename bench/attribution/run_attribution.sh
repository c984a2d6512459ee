#!/usr/bin/env bash
# Who gets the bytes: scenarios of short-lived programs, port reuse, shared
# port numbers, IPv6-only and dual-stack sockets, inherited sockets, exec and
# fragments, and of sockets off the common path (ping, raw IP, SCTP, frames
# written through a packet socket, a namespace behind address translation,
# io_uring, sendfile, splice, sendmmsg), between network namespaces of this
# run's own (10.235.N.1/2 and fd00:5a7:N::1/2, and for netns-nat 10.236.N.1/2
# between A and a third namespace C; nothing else is ever addressed). Each scenario's
# traffic is captured at once by tcpdump (the truth), by Sondrel with its eBPF
# owner events, by Sondrel with /proc only (its monitor runs under capsh
# without cap_bpf and cap_perfmon, so its capture helper cannot load the
# probes) and by nethogs. Every program ends by telling which port it held
# from when on under its executable's path, so the right owner of every
# captured byte is known by construction. Then: idle CPU of Sondrel in both
# modes and of nethogs, and the side-by-side's TCP cases (run_compare.sh) in
# both modes.
#   run_attribution.sh [BUILD_DIR] [REPORT_FILE]
# In the environment:
#   ATTR_SCENARIOS="port-reuse fragments"   only these (default: all)
#   ATTR_IDLE_SECONDS=30                    idle measurement per tool (0: none)
#   ATTR_IDLE_PROCESSES=300                 idle processes started for it (2 UDP sockets each)
#   ATTR_COMPARE_SECONDS=20                 seconds per TCP case of run_compare.sh (0: none)
# Needs root, tcpdump, nethogs, capsh and Debian's python3, and for netns-nat
# nft (or iptables):
#   apt-get install tcpdump nethogs libcap2-bin python3 nftables   (all in the Makefile's DEPS)
# Exits 77 (skipped) without root. Prints the tables (Markdown) at the end;
# with REPORT_FILE they are written there too, and the raw output of every
# tool is kept beside it in attribution-raw/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
report=${2:-}
bin=$build/bench/attribution
monitor=$build/bench/compare/compare_monitor
python=/usr/bin/python3
scenarios=${ATTR_SCENARIOS:-sequential-tcp parallel-tcp udp-bursts 2ms-program port-reuse tcp-udp-one-port v6only-holder forked-child exec-in-place fragments dual-stack ping-flood sctp raw-253 packet-inject netns-nat io-uring sendfile splice mmsg}
idle_seconds=${ATTR_IDLE_SECONDS:-30}
idle_processes=${ATTR_IDLE_PROCESSES:-300}
compare_seconds=${ATTR_COMPARE_SECONDS:-20}
http_port=8080
sink_port=9000
echo_port=9001
# shellcheck disable=SC2054,SC2016  # one list of capabilities; $0 and $@ are the inner shell's
without_probes=(capsh --drop=cap_bpf,cap_perfmon -- -c 'exec "$0" "$@"')

# shellcheck source-path=SCRIPTDIR source=../bench_pair.sh
source "$here/../bench_pair.sh"
netns_pair_require ip tcpdump nethogs capsh "$python"
tcp_sink=$build/bench/compare/compare_tcp_sink
for program in attr_udp_send attr_udp_send_b attr_udp_hold attr_fetch attr_fd_parent attr_http_server attr_sink \
  attr_ping attr_raw attr_sctp attr_inject attr_uring attr_file_send attr_mmsg; do
  [[ -x $bin/$program ]] || { echo "FAIL: $bin/$program is not built (target attribution_bench)"; exit 1; }
done
for program in "$monitor" "$tcp_sink"; do
  [[ -x $program ]] || { echo "FAIL: $program is not built (target attribution_bench)"; exit 1; }
done

# utime+stime in clock ticks of running processes, summed.
cpu_ticks() {
  local pid stat ticks=0
  local -a fields
  for pid in "$@"; do
    stat=$(<"/proc/$pid/stat")
    stat=${stat##*) }
    read -r -a fields <<<"$stat"
    ticks=$(( ticks + fields[11] + fields[12] ))
  done
  echo "$ticks"
}

# start_monitor NAME ebpf|proc DIR: a compare_monitor in namespace A; sets
# ${NAME}_pid and ${NAME}_helper once it is ready and owns the mode asked for.
start_monitor() {
  local name=$1 owners=$2 dir=$3
  local -a prefix=()
  [[ $owners == proc ]] && prefix=("${without_probes[@]}")
  ip netns exec "$ns_a" "${prefix[@]}" "$monitor" --local "$addr_a" --remote "$addr_b" --sink-port "$sink_port" \
    >"$dir/$name.out" 2>"$dir/$name.err" &
  printf -v "${name}_pid" %s $!
  wait_for_text "$dir/$name.out" "helper" 30 || { echo "FAIL: compare_monitor ($owners): $(cat "$dir/$name.err")"; exit 1; }
  local mode expected=Ebpf
  mode=$(monitor_says "$dir/$name.out" mode)
  [[ $owners == proc ]] && expected=ProcPolling
  if [[ $mode != "$expected" ]]; then
    echo "FAIL: Sondrel asked for $owners finds owners by $mode"
    exit 1
  fi
  printf -v "${name}_helper" %s "$(monitor_says "$dir/$name.out" helper)"
}

# netns-nat's namespace C behind A: 10.236.N.2 in C, 10.236.N.1 on A's end of
# their veth pair. A forwards C's traffic and masquerades it behind its own
# address on its veth to B, so the captures there see it translated. Sets
# ns_c; nat_remove takes it all away again.
nat_create() {
  local n=$(( $$ % 250 ))
  nat_net=10.236.$n
  ns_c=sondrel-attr-c-$$
  ip netns add "$ns_c"
  netns_peers+=("$ns_c")
  ip netns exec "$ns_c" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 2>/dev/null || true
  # The names are per namespace: neither end is ever in the host's.
  ip -n "$ns_a" link add snat-a type veth peer name snat-c netns "$ns_c"
  ip -n "$ns_a" addr add "$nat_net.1/24" dev snat-a
  ip -n "$ns_c" addr add "$nat_net.2/24" dev snat-c
  ip -n "$ns_c" link set lo up
  ip -n "$ns_c" link set snat-c up
  ip -n "$ns_a" link set snat-a up
  ip -n "$ns_c" route add default via "$nat_net.1"
  netns_masquerade "$ns_a" "$nat_net.0/24" "$veth_a"
}

nat_remove() {
  netns_unmasquerade "$ns_a" "$nat_net.0/24" "$veth_a"
  local pid
  for pid in $(ip netns pids "$ns_c" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
  ip netns del "$ns_c"
  ns_c=
}

run_scenario() {
  local name=$1 dir=$work/$1
  mkdir -p "$dir"
  if [[ $name == netns-nat ]]; then
    if ! command -v nft >/dev/null && ! command -v iptables >/dev/null; then
      echo "skipped neither nft nor iptables is installed" >"$dir/holds.txt"
      echo "  $name: skipped (neither nft nor iptables)"
      return
    fi
    nat_create
  fi
  ip netns exec "$ns_a" tcpdump -i "$veth_a" -n -s 128 -B 65536 -w "$dir/truth.pcap" 2>"$dir/tcpdump.err" &
  local tcpdump_pid=$!
  wait_for_text "$dir/tcpdump.err" "listening on" 10 || { echo "FAIL: tcpdump did not start"; exit 1; }
  start_monitor ebpf ebpf "$dir"
  start_monitor proc proc "$dir"
  ip netns exec "$ns_a" nethogs -t -C -v 2 -d 1 "$veth_a" >"$dir/nethogs.out" 2>"$dir/nethogs.err" &
  local nethogs_pid=$!
  wait_for_text "$dir/nethogs.out" "Refreshing:" 10 || { echo "FAIL: nethogs: $(cat "$dir/nethogs.err")"; exit 1; }
  # A pass of the /proc monitor after its start-up, before the first program.
  sleep 1
  local started=$SECONDS
  ip netns exec "$ns_a" "$python" "$here/attr_traffic.py" "$name" "$bin" "$addr_b" "$addr6_b" \
    "$http_port" "$sink_port" "$echo_port" "$ns_b" ${ns_c:+"$ns_c"} >"$dir/holds.txt" 2>"$dir/traffic.err" ||
    { echo "FAIL: traffic of $name: $(cat "$dir/traffic.err")"; exit 1; }
  local took=$(( SECONDS - started ))
  # Both tools show the last packets within a second or two.
  sleep 3
  kill -INT "$nethogs_pid"
  wait "$nethogs_pid" || true
  # shellcheck disable=SC2154  # set by start_monitor
  kill -TERM "$ebpf_pid" "$proc_pid"
  wait "$ebpf_pid" || echo "note: compare_monitor (eBPF): $(cat "$dir/ebpf.err")"
  wait "$proc_pid" || echo "note: compare_monitor (/proc): $(cat "$dir/proc.err")"
  kill -INT "$tcpdump_pid"
  wait "$tcpdump_pid" || true
  echo "tcpdump_drops $(awk '/dropped by kernel/ { print $1 }' "$dir/tcpdump.err")" >"$dir/costs.txt"
  [[ $name == netns-nat ]] && nat_remove
  if grep -q '^skipped ' "$dir/holds.txt"; then
    echo "  $name: $(cat "$dir/holds.txt")"
  else
    echo "  $name: $(wc -l <"$dir/holds.txt") programs, ${took} s of traffic"
  fi
}

# measure_idle NAME: the tool's CPU over ATTR_IDLE_SECONDS without traffic,
# with ATTR_IDLE_PROCESSES idle processes (two UDP sockets each on
# namespace A's loopback) on the machine. They start once the tool is up:
# Sondrel keys owners by port alone, and a monitor whose own warm-up socket
# got a port number that one of them holds on 127.0.0.1 would never see it
# counted as its own.
measure_idle() {
  local name=$1 dir=$work/idle
  mkdir -p "$dir"
  local -a pids
  case $name in
    ebpf | proc)
      start_monitor "$name" "$name" "$dir"
      local pid_var=${name}_pid helper_var=${name}_helper
      pids=("${!pid_var}" "${!helper_var}")
      ;;
    nethogs)
      ip netns exec "$ns_a" nethogs -t -C -v 2 -d 1 "$veth_a" >"$dir/nethogs.out" 2>"$dir/nethogs.err" &
      pids=($!)
      wait_for_text "$dir/nethogs.out" "Refreshing:" 10 || { echo "FAIL: nethogs: $(cat "$dir/nethogs.err")"; exit 1; }
      ;;
  esac
  ip netns exec "$ns_a" "$python" "$top/bench/probe/discovery/idle_sockets.py" "$idle_processes" 2 \
    $(( idle_seconds + 60 )) >"$dir/idle_sockets.out" &
  local idle_pid=$!
  wait_for_text "$dir/idle_sockets.out" "ready" 60 || { echo "FAIL: idle processes did not start"; exit 1; }
  # What the start-up and the new processes cost is left out.
  sleep 5
  local -a before after
  local pid processes
  for pid in "${pids[@]}"; do before+=("$(cpu_ticks "$pid")"); done
  sleep "$idle_seconds"
  for pid in "${pids[@]}"; do after+=("$(cpu_ticks "$pid")"); done
  processes=$(find /proc -maxdepth 1 -name '[0-9]*' | wc -l)
  # idle NAME SECONDS TICKS_PER_SECOND PROCESSES TICKS_OF_EACH_PROCESS...
  echo "idle $name $idle_seconds $(getconf CLK_TCK) $processes $(( after[0] - before[0] ))" \
    "${pids[1]:+$(( after[1] - before[1] ))}" >>"$dir/idle.txt"
  kill -TERM "$idle_pid"
  wait "$idle_pid" || true
  kill -TERM "${pids[0]}"
  wait "${pids[0]}" || true
}

bench_pair_create attr 235 ipv6
ns_c=
# Ping sockets for every group, in the pair's namespaces only: the setting is
# per namespace.
for ns in "$ns_a" "$ns_b"; do
  ip netns exec "$ns" sysctl -qw net.ipv4.ping_group_range="0 2147483647"
done
start_ready http "$ns_b" "$bin/attr_http_server" --listen "$addr_b:$http_port"
start_ready sink "$ns_b" "$bin/attr_sink" --port "$sink_port"
start_ready echo "$ns_b" "$bin/attr_sink" --port "$echo_port" --echo
start_ready tcp_sink "$ns_b" "$tcp_sink" "$addr_b" "$sink_port"

echo "nethogs $(dpkg-query -W -f '${Version}' nethogs 2>/dev/null || echo '?'), kernel $(uname -r), $(nproc) cores"
for name in $scenarios; do
  run_scenario "$name"
done

if (( idle_seconds > 0 )); then
  for tool in ebpf proc nethogs; do
    measure_idle "$tool"
  done
  echo "  idle: $idle_seconds s per tool"
fi

if (( compare_seconds > 0 )); then
  for owners in ebpf proc; do
    COMPARE_CASES="tcp-10000 tcp-50000 tcp-100000" COMPARE_OWNERS=$owners \
      bash "$top/bench/compare/run_compare.sh" "$build" "$compare_seconds" "$work/compare-$owners/report.md" \
      >"$work/compare-$owners.log" 2>&1 || { echo "FAIL: run_compare.sh ($owners): $(tail -5 "$work/compare-$owners.log")"; exit 1; }
    echo "  side by side, TCP cases, $owners: done"
  done
fi

[[ -z $report ]] || mkdir -p -- "$(dirname "$report")"
"$python" "$here/attr_report.py" "$work" "$addr_a" "$addr6_a" | tee "${report:-/dev/null}"
if [[ -n $report ]]; then
  raw=$(dirname "$report")/attribution-raw
  rm -rf -- "$raw"
  cp -r -- "$work" "$raw"
fi
