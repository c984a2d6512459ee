#!/usr/bin/env bash
# Integration test on the live system: the real program, its clock moved by
# libfaketime to shortly before midnight, counts real traffic between two
# network namespaces of this run's own and writes the daily report at 00:00.
# The night from 31 January to 1 February 2027 gives the file 2027_01_02.csv
# (year, day, month).
#   run_daily_report_e2e.sh SONDREL_BINARY DIR_OF_THE_E2E_PROGRAMS
set -euo pipefail
sondrel=${1:?usage: run_daily_report_e2e.sh SONDREL_BINARY DIR_OF_THE_E2E_PROGRAMS}
bin=${2:?usage: run_daily_report_e2e.sh SONDREL_BINARY DIR_OF_THE_E2E_PROGRAMS}

# shellcheck source-path=SCRIPTDIR source=netns_pair.sh
source "$(dirname "$0")/netns_pair.sh"
netns_pair_require ip faketime
netns_pair_create

udp_port=40001
reports=$work/reports
config=$work/config
runtime=$work/runtime
mkdir -p "$reports" "$config/Sondrelix" "$runtime" "$work/home"
chmod 700 "$runtime"
"$bin/e2e_write_settings" "$config/Sondrelix" 1 "$reports" "$addr_a"

start_ready udp_sink "$ns_b" "$bin/e2e_udp_sink" "$addr_b" "$udp_port"
start_announcing ticker "$ns_a" '^port [0-9]+$' "$bin/e2e_udp_ticker" "$addr_a" "$addr_b" "$udp_port" 100 100
ticker_port=${announced#port }
ticker_path=$(readlink -f "$bin/e2e_udp_ticker")

# Ten seconds before midnight leaves time to start capture on a busy machine.
# Only the wall clock moves: Qt's timers run on the monotonic clock.
ip netns exec "$ns_a" env HOME="$work/home" XDG_CONFIG_HOME="$config" XDG_RUNTIME_DIR="$runtime" \
  QT_QPA_PLATFORM=offscreen TZ=UTC LC_ALL=C.UTF-8 \
  faketime -m --exclude-monotonic '2027-01-31 23:59:50' "$sondrel" >"$work/sondrel.log" 2>&1 &
sondrel_pid=$!
disown

report=$reports/2027_01_02.csv
header=$'Application,UL bytes,DL bytes,Local port,Remote Port,Remote IP,Remote hostname\r'
# The ticker's line: its own path, some bytes sent, none received, its port and the sink's.
line_pattern="^${ticker_path//./\\.},[1-9][0-9]*,0,UDP:${ticker_port},UDP:${udp_port},${addr_b//./\\.},[^,]*,"$'\r$'

found=
for _ in $(seq 1 200); do
  if [[ -f $report ]] && grep -qE "$line_pattern" "$report"; then
    found=yes
    break
  fi
  kill -0 "$sondrel_pid" 2>/dev/null || break
  # The report is written beside its name first (.2027_01_02.csv.XXXXXX), then renamed.
  [[ -z $(find "$reports" -mindepth 1 ! -name 2027_01_02.csv ! -name '.2027_01_02.csv.*') ]] || break
  sleep 0.2
done

fail() {
  echo "FAIL: $1"
  echo "--- report folder:"; ls -la "$reports"
  [[ -f $report ]] && { echo "--- $report:"; cat -A "$report"; }
  echo "--- sondrel output:"; cat "$work/sondrel.log"
  exit 1
}
[[ -n $found ]] || fail "no 2027_01_02.csv with the ticker's line by 00:00:40 (fake time)"
[[ $(head -n 1 "$report") == "$header" ]] || fail "the report's header line is not the CSV header"
others=$(find "$reports" -mindepth 1 ! -name 2027_01_02.csv)
[[ -z $others ]] || fail "unexpected files in the report folder: $others"

echo "daily report $(basename "$report"):"
cat "$report"
echo "PASS"
