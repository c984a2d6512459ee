#!/usr/bin/env bash
# Integration test on the live system: the real program in headless mode, with
# no display and its clock moved by libfaketime to shortly before midnight,
# counts real traffic between two network namespaces of this run's own and
# writes the daily report at 00:00 (the night from 31 January to 1 February
# 2027 gives 2027_01_02.csv: year, day, month). It loads no Qt platform
# plug-in. Then the captured interface is removed: the message the window
# would show in a box comes on stderr with the (fake) time. SIGTERM ends the
# program with status 0.
#   run_headless_midnight_e2e.sh SONDREL_BINARY DIR_OF_THE_E2E_PROGRAMS
set -euo pipefail
sondrel=${1:?usage: run_headless_midnight_e2e.sh SONDREL_BINARY DIR_OF_THE_E2E_PROGRAMS}
bin=${2:?usage: run_headless_midnight_e2e.sh SONDREL_BINARY DIR_OF_THE_E2E_PROGRAMS}

# shellcheck source-path=SCRIPTDIR source=netns_pair.sh
source "$(dirname "$0")/netns_pair.sh"
netns_pair_require ip faketime
netns_pair_create

udp_port=40001
reports=$work/reports
config=$work/config
mkdir -p "$reports" "$config/Sondrelix" "$work/home"
"$bin/e2e_write_settings" "$config/Sondrelix" 1 "$reports" "$addr_a"

start_ready udp_sink "$ns_b" "$bin/e2e_udp_sink" "$addr_b" "$udp_port"
start_announcing ticker "$ns_a" '^port [0-9]+$' "$bin/e2e_udp_ticker" "$addr_a" "$addr_b" "$udp_port" 100 100
ticker_port=${announced#port }
ticker_path=$(readlink -f "$bin/e2e_udp_ticker")

# Ten seconds before midnight leave time to start capture on a busy machine.
# Only the wall clock moves: the one-second tick runs on the monotonic clock.
# faketime runs the program as its child and ends with the child's exit status.
(
  set +e
  ip netns exec "$ns_a" env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    HOME="$work/home" XDG_CONFIG_HOME="$config" TZ=UTC LC_ALL=C.UTF-8 \
    faketime -m --exclude-monotonic '2027-01-31 23:59:50' "$sondrel" --headless >"$work/stdout" 2>"$work/stderr"
  echo $? >"$work/status"
) &
disown
sondrel_pid=
for _ in $(seq 1 100); do
  for pid in $(ip netns pids "$ns_a"); do
    # `sondrel --headless` becomes sondrel-headless, beside it, in the same process.
    case $(readlink "/proc/$pid/exe" 2>/dev/null) in
      "$(readlink -f "$sondrel")" | "$(dirname "$(readlink -f "$sondrel")")/sondrel-headless") sondrel_pid=$pid ;;
    esac
  done
  [[ -n $sondrel_pid ]] && break
  sleep 0.1
done
[[ -n $sondrel_pid ]] || { echo "FAIL: the program did not start: $(cat "$work/stderr")"; exit 1; }

fail() {
  echo "FAIL: $1"
  echo "--- report folder:"; ls -la "$reports"
  [[ -f ${report:-} ]] && { echo "--- $report:"; cat -A "$report"; }
  echo "--- sondrel stderr:"; cat "$work/stderr"
  exit 1
}

report=$reports/2027_01_02.csv
line_pattern="^${ticker_path//./\\.},[1-9][0-9]*,0,UDP:${ticker_port},UDP:${udp_port},${addr_b//./\\.},[^,]*,"$'\r$'
found=
for _ in $(seq 1 200); do
  if [[ -f $report ]] && grep -qE "$line_pattern" "$report"; then
    found=yes
    break
  fi
  kill -0 "$sondrel_pid" 2>/dev/null || break
  sleep 0.2
done
[[ -n $found ]] || fail "no 2027_01_02.csv with the ticker's line by 00:00:40 (fake time)"
echo "daily report $(basename "$report"):"
cat "$report"

# Without a status line, what is captured and how owners are found is said on stderr once.
grep -qE "^[0-9-]{10} [0-9:]{8} sondrel: Capturing ${veth_a} ${addr_a//./\\.} (\\(\\+[0-9]+ IPv6\\) )?· owners: (eBPF|/proc scans)$" "$work/stderr" ||
  fail "no line on stderr saying what is captured and how owners are found"

maps=$(cat "/proc/$sondrel_pid/maps")
if grep -E '/(platforms|platforminputcontexts|xcbglintegrations)/' <<<"$maps"; then
  fail "headless mode loaded a Qt platform plug-in"
fi
[[ ! -s $work/stdout ]] || fail "headless mode wrote to stdout: $(cat "$work/stdout")"

# The captured interface goes away: the window would show a box; here a line.
ip -n "$ns_a" link del "$veth_a"
message_pattern='^2027-02-01 00:0[0-9]:[0-5][0-9] sondrel: Error: pcap_dispatch\(\) failed!$'
message=
for _ in $(seq 1 100); do
  message=$(grep -E "$message_pattern" "$work/stderr" || true)
  [[ -n $message ]] && break
  sleep 0.1
done
[[ -n $message ]] || fail "no time-stamped \"pcap_dispatch() failed!\" on stderr after the interface went away"
echo "stderr: $message"

kill -TERM "$sondrel_pid"
for _ in $(seq 1 100); do
  kill -0 "$sondrel_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$sondrel_pid" 2>/dev/null && fail "still running 10 s after SIGTERM"
for _ in $(seq 1 50); do
  [[ -s $work/status ]] && break
  sleep 0.1
done
[[ $(cat "$work/status" 2>/dev/null) == 0 ]] || fail "exit status $(cat "$work/status" 2>/dev/null) after SIGTERM, not 0"
grep -qE '^2027-02-01 00:0[0-9]:[0-5][0-9] sondrel: stopping on SIGTERM$' "$work/stderr" ||
  fail "no line about stopping on SIGTERM"
echo "PASS"
