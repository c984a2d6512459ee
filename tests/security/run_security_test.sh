#!/usr/bin/env bash
# The window holds no privilege, whoever runs it and whatever they make it
# load. Two users this test creates run the real window in a network
# namespace of the test's own, each with QT_PLUGIN_PATH pointing at a plug-in
# that writes the process's effective capabilities (and whether it can read
# /etc/shadow) when Qt loads it:
#  - a member of the group "sondrel", with the capture helper granted as
#    `make setcap` grants it: the plug-in finds no capability, yet real
#    traffic from a root-owned program is counted and named after it (the
#    helper, which alone holds capabilities, captures and reads other users'
#    processes);
#  - a user outside the group: the helper cannot be started, and the window
#    says "Unable to open the adapter!" with the group to join.
#   run_security_test.sh WINDOW HELPER IMAGE_PLUGIN GENERIC_PLUGIN GRANT_SCRIPT
set -euo pipefail
window_built=$1 helper_built=$2 image_plugin=$3 generic_plugin=$4 grant=$5

if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: creating users and network namespaces needs root"
  exit 77
fi
for tool in ip setpriv useradd userdel groupadd groupdel usermod faketime setcap /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed"; exit 1; }
done

# shellcheck source=../e2e/netns_pair.sh
source "$(dirname "$0")/../e2e/netns_pair.sh"
netns_pair_create

member=sdrl-member-$$
outsider=sdrl-outside-$$
group_made=

security_cleanup() {
  local rc=$?
  local user
  for user in "$member" "$outsider"; do
    pkill -KILL -u "$user" 2>/dev/null || true
    if id "$user" >/dev/null 2>&1; then userdel "$user" 2>/dev/null || true; fi
  done
  [[ -n $group_made ]] && groupdel sondrel 2>/dev/null || true
  (exit "$rc")
  netns_pair_cleanup
}
trap security_cleanup EXIT

fail() {
  echo "FAIL: $1"
  exit 1
}

getent group sondrel >/dev/null || group_made=yes
useradd --system --user-group --no-create-home --shell /usr/sbin/nologin "$member"
useradd --system --user-group --no-create-home --shell /usr/sbin/nologin "$outsider"

# A copy of the window with its helper beside it, so the build tree keeps its
# own modes; the helper granted exactly as `make setcap` grants it.
chmod 755 "$work"
mkdir -p "$work/bin" "$work/plugins/imageformats" "$work/plugins/generic" "$work/out"
cp "$window_built" "$work/bin/sondrel"
cp "$helper_built" "$work/bin/sondrel-probe"
cp "$image_plugin" "$work/plugins/imageformats/"
cp "$generic_plugin" "$work/plugins/generic/"
chmod -R a+rX "$work/bin" "$work/plugins"
sh "$grant" "$work/bin/sondrel-probe" >/dev/null
usermod -a -G sondrel "$member"
chmod 1777 "$work/out"

# settings_for USER: daily reports on, into the user's folder, capturing addr_a.
settings_for() {
  local home=$work/home-$1
  mkdir -p "$home/config/Sondrelix" "$home/reports" "$home/runtime"
  IFS=. read -r a b c d <<<"$addr_a"
  printf '1 %s %u' "$home/reports" $(( a + (b << 8) + (c << 16) + (d << 24) )) >"$home/config/Sondrelix/conf01.dat"
  chown -R "$1:$1" "$home"
  chmod 700 "$home/runtime"
}

# run_window USER: the window as USER in ns_a, shortly before a fake midnight
# (only the wall clock moves: Qt's timers run on the monotonic clock), with
# the plug-ins on every path a user can set.
run_window() {
  local user=$1 home=$work/home-$1
  ip netns exec "$ns_a" setpriv --reuid="$user" --regid="$user" --init-groups \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$home" XDG_CONFIG_HOME="$home/config" \
    XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=offscreen TZ=UTC LC_ALL=C.UTF-8 \
    QT_PLUGIN_PATH="$work/plugins" QT_QPA_GENERIC_PLUGINS=sondrelcapprobe \
    SONDREL_CAP_PROBE_FILE="$work/out/$user.txt" \
    faketime -m --exclude-monotonic '2027-01-31 23:59:40' "$work/bin/sondrel" >"$work/$user.log" 2>&1 &
  window_pid=$!  # faketime's: the window is its child
  disown
}

# check_plugin_saw_nothing USER: the plug-in ran, and found no capability and no shadow.
check_plugin_saw_nothing() {
  local report=$work/out/$1.txt
  for _ in $(seq 1 50); do [[ -s $report ]] && break; sleep 0.1; done
  [[ -s $report ]] || fail "the plug-in was not loaded into $1's window: $(cat "$work/$1.log")"
  echo "$1's window, as its plug-in saw it:"
  sed 's/^/  /' "$report"
  grep -q '^CapEff:' "$report" || fail "no CapEff line from $1's window"
  if grep '^CapEff:' "$report" | grep -qv '^CapEff:[[:space:]]*0000000000000000$'; then
    fail "$1's window holds capabilities"
  fi
  if grep -q '^shadow: readable' "$report"; then fail "$1's window could read /etc/shadow"; fi
}

settings_for "$member"
settings_for "$outsider"

python=/usr/bin/python3
start_ready sink "$ns_b" "$python" -c '
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 40003))
print("ready", flush=True)
while True:
    s.recv(65536)
' "$addr_b"

# The member: capture works through the helper.
run_window "$member"
capturing=
for _ in $(seq 1 100); do
  if [[ $(ip netns exec "$ns_a" cat /proc/net/packet | wc -l) -gt 1 ]]; then
    capturing=yes
    break
  fi
  kill -0 "$window_pid" 2>/dev/null || break
  sleep 0.1
done
[[ -n $capturing ]] || fail "the member's window did not start capturing: $(cat "$work/$member.log")"
check_plugin_saw_nothing "$member"

# The helper keeps nothing effective between operations, and its main thread
# may only open capture sockets from now on.
helper_pid=
for pid in $(ip netns pids "$ns_a"); do
  [[ $(readlink "/proc/$pid/exe" 2>/dev/null) == "$work/bin/sondrel-probe" ]] && helper_pid=$pid
done
[[ -n $helper_pid ]] || fail "no capture helper runs for the member"
helper_status=$(cat "/proc/$helper_pid/status")
echo "capture helper: $(grep -E '^(Uid|CapPrm|CapEff):' <<<"$helper_status" | tr '\n\t' '  ')"
[[ $(awk '/^Uid:/ {print $2}' <<<"$helper_status") == $(id -u "$member") ]] || fail "the helper does not run as the member"
grep -qE '^CapEff:[[:space:]]*0000000000000000$' <<<"$helper_status" || fail "the helper's main thread keeps capabilities effective"
grep -qE '^CapPrm:[[:space:]]*0000000000002000$' <<<"$helper_status" || fail "the helper's main thread may do more than capture"

# A program of root's sends known datagrams: only the helper's capabilities
# let it be named, and the daily report shows its bytes under its path.
start_announcing sender "$ns_a" '^port [0-9]+$' "$python" -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 0))
print("port", s.getsockname()[1], flush=True)
time.sleep(1)
for _ in range(4):
    s.sendto(b"x" * 200, (sys.argv[2], 40003))
    time.sleep(0.05)
time.sleep(3600)
' "$addr_a" "$addr_b"
sender_port=${announced#port }
report=$work/home-$member/reports/2027_01_02.csv
sender_path=$(readlink -f "$python")
# Four datagrams of 228 bytes stay below 1 KB, which the report would round.
expected="^${sender_path//./\\.},$(( 4 * 228 )),0,UDP:${sender_port},UDP:40003,${addr_b//./\\.},"
for _ in $(seq 1 250); do
  [[ -f $report ]] && grep -qE "$expected" "$report" && break
  kill -0 "$window_pid" 2>/dev/null || break
  sleep 0.2
done
if ! [[ -f $report ]] || ! grep -qE "$expected" "$report"; then
  [[ -f $report ]] && { echo "--- $report:"; cat -A "$report"; }
  echo "--- the member's window:"; cat "$work/$member.log"
  fail "the member's daily report does not show root's datagrams under $sender_path"
fi
echo "member's report: $(grep -E "$expected" "$report")"
kill -KILL "$window_pid" 2>/dev/null || true

for _ in $(seq 1 50); do [[ $(ip netns exec "$ns_a" cat /proc/net/packet | wc -l) -le 1 ]] && break; sleep 0.1; done

# The outsider: the helper is not theirs to run.
run_window "$outsider"
for _ in $(seq 1 100); do
  grep -q 'Unable to open the adapter!' "$work/$outsider.log" 2>/dev/null && break
  sleep 0.1
done
grep -q 'Unable to open the adapter!' "$work/$outsider.log" ||
  fail "the outsider was not told that capture is impossible: $(cat "$work/$outsider.log")"
grep -q 'group "sondrel"' "$work/$outsider.log" || fail "the outsider was not told which group to join: $(cat "$work/$outsider.log")"
echo "outsider's window said: $(grep -A1 'Unable to open the adapter!' "$work/$outsider.log" | tr '\n' ' ')"
check_plugin_saw_nothing "$outsider"
! pgrep -u "$outsider" -x sondrel-probe >/dev/null || fail "a capture helper runs for the outsider"

echo "PASS"
