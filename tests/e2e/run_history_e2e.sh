#!/usr/bin/env bash
# Integration test on the live system: the history survives kill -9. The
# real program in headless mode counts a steady UDP flow between two network
# namespaces of this run's own for a little over one flush period and is
# killed with SIGKILL: `sondrel --history` must then show at least what
# tcpdump saw of the flow up to 60 s before the kill, and never more than it
# saw. A second run, ended by SIGTERM, adds the bytes of its own flow exactly:
# the day's totals go on from where the first run's stopped.
#   run_history_e2e.sh SONDREL_BINARY DIR_OF_THE_E2E_PROGRAMS
set -euo pipefail
sondrel=${1:?usage: run_history_e2e.sh SONDREL_BINARY DIR_OF_THE_E2E_PROGRAMS}
bin=${2:?usage: run_history_e2e.sh SONDREL_BINARY DIR_OF_THE_E2E_PROGRAMS}

# shellcheck source-path=SCRIPTDIR source=netns_pair.sh
source "$(dirname "$0")/netns_pair.sh"
netns_pair_require ip tcpdump
netns_pair_create

udp_port=40011
payload=100                 # IPv4 length 128
interval_ms=20              # 50 datagrams a second
first_run_s=${HISTORY_E2E_SECONDS:-68}
config=$work/config
data=$work/data
mkdir -p "$config/Sondrelix" "$data" "$work/home"
"$bin/e2e_write_settings" "$config/Sondrelix" 0 "$work" "$addr_a"
history_file=$data/sondrel/history.sqlite
ticker_path=$(readlink -f "$bin/e2e_udp_ticker")

fail() {
  echo "FAIL: $1"
  for log in "$work"/sondrel*.err; do echo "--- $log:"; cat "$log"; done
  exit 1
}

start_ready udp_sink "$ns_b" "$bin/e2e_udp_sink" "$addr_b" "$udp_port"
ip netns exec "$ns_a" tcpdump -i "$veth_a" -nn -U -w "$work/flow.pcap" "udp and dst port $udp_port" 2>"$work/tcpdump.err" &
tcpdump_pid=$!
for _ in $(seq 1 50); do grep -q "listening on" "$work/tcpdump.err" && break; sleep 0.1; done

# run_sondrel N: starts the monitor, waits until it captures; its pid in $sondrel_pid.
run_sondrel() {
  local n=$1
  ip netns exec "$ns_a" env -u DISPLAY -u WAYLAND_DISPLAY HOME="$work/home" XDG_CONFIG_HOME="$config" \
    XDG_DATA_HOME="$data" TZ=UTC LC_ALL=C.UTF-8 "$sondrel" --headless >"$work/sondrel$n.out" 2>"$work/sondrel$n.err" &
  sondrel_pid=$!
  for _ in $(seq 1 100); do
    grep -q "sondrel: Capturing" "$work/sondrel$n.err" && return 0
    kill -0 "$sondrel_pid" 2>/dev/null || fail "run $n ended at once"
    sleep 0.1
  done
  fail "run $n does not capture"
}

# ticker_bytes PORT: the IP bytes tcpdump saw from the ticker's port so far.
ticker_bytes() {
  tcpdump -r "$work/flow.pcap" -nn "src port $1" 2>/dev/null | wc -l | awk -v l=$((payload + 28)) '{ print $1 * l }'
}

# history_bytes: the ticker's UL bytes today, as --history prints them.
history_bytes() {
  local line
  line=$(env HOME="$work/home" XDG_DATA_HOME="$data" TZ=UTC "$sondrel" --history --format csv \
    --history-file "$history_file" | grep -F "$ticker_path," || true)
  [[ -n $line ]] || { echo 0; return; }
  cut -d, -f2 <<<"$line"
}

run_sondrel 1
start_announcing ticker1 "$ns_a" '^port [0-9]+$' "$bin/e2e_udp_ticker" "$addr_a" "$addr_b" "$udp_port" "$payload" "$interval_ms"
port1=${announced#port }
sleep "$first_run_s"
kill -KILL "$sondrel_pid"
sleep 0.5
pkill -f "e2e_udp_ticker $addr_a" || true
sleep 0.5
[[ -s $history_file ]] || fail "no history file at $history_file after ${first_run_s} s"

seen1=$(ticker_bytes "$port1")
kept1=$(history_bytes)
# A flush every 60 s: at most the last 60 s (and the second the tick takes) may be lost.
allowed_loss=$(( (61 * 1000 / interval_ms) * (payload + 28) ))
echo "run 1 (kill -9 after ${first_run_s} s): tcpdump $seen1 bytes, history $kept1 bytes, at most $allowed_loss may be lost"
(( kept1 <= seen1 )) || fail "the history holds more than was sent ($kept1 > $seen1)"
(( kept1 + allowed_loss >= seen1 )) || fail "the history lost more than 60 s of traffic ($kept1 of $seen1)"
(( kept1 > 0 )) || fail "nothing was flushed before the kill"

run_sondrel 2
start_announcing ticker2 "$ns_a" '^port [0-9]+$' "$bin/e2e_udp_ticker" "$addr_a" "$addr_b" "$udp_port" "$payload" "$interval_ms"
port2=${announced#port }
sleep 4
pkill -f "e2e_udp_ticker $addr_a" || true
sleep 1.5
kill -TERM "$sondrel_pid"
for _ in $(seq 1 100); do kill -0 "$sondrel_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$sondrel_pid" 2>/dev/null && fail "run 2 still running 10 s after SIGTERM"
kill -INT "$tcpdump_pid" 2>/dev/null || true
wait "$tcpdump_pid" 2>/dev/null || true

seen2=$(ticker_bytes "$port2")
kept2=$(history_bytes)
echo "run 2 (SIGTERM): tcpdump $seen2 bytes; history now $kept2 bytes"
(( kept2 - kept1 == seen2 )) || fail "run 2 added $((kept2 - kept1)) bytes to the day, tcpdump saw $seen2"
echo "PASS"
