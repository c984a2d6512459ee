#!/usr/bin/env bash
# Integration test on the live system: installs the Debian package on this
# machine, checks that its postinst gives capabilities to the capture helper
# alone (and its group and mode), runs the installed
# program headless inside two network namespaces of this run's own until its
# daily report shows the datagrams a known program sent, then removes and
# purges the package and checks that nothing of it is left.
#   run_package_test.sh BUILD_DIR      (runs cpack there first)
#   run_package_test.sh PACKAGE.deb
# The program's clock is moved by libfaketime to shortly before midnight of
# 31 January 2027, so the report is 2027_01_02.csv (year, day, month).
set -euo pipefail
target=${1:?usage: run_package_test.sh BUILD_DIR|PACKAGE.deb}

if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: installing a package and making network namespaces need root"
  exit 77
fi
for tool in dpkg dpkg-deb apt-get ip faketime getcap cpack; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed"; exit 1; }
done
python=/usr/bin/python3
[[ -x $python ]] || { echo "FAIL: $python is not installed"; exit 1; }

binary=/usr/bin/sondrel
package_state() { dpkg-query -W -f='${db:Status-Status}' sondrel 2>/dev/null || true; }
if [[ -n $(package_state) && $(package_state) != not-installed ]]; then
  echo "FAIL: the sondrel package is on this machine ($(package_state)); remove it first (dpkg --purge sondrel)"
  exit 1
fi
if [[ -e $binary ]]; then
  echo "FAIL: $binary exists and belongs to no package; the test will not overwrite it"
  exit 1
fi

n=$(( $$ % 200 ))
ns_a=sondrel-pkg-a-$$
ns_b=sondrel-pkg-b-$$
veth_a=spkg-a-$$
veth_b=spkg-b-$$
addr_a=10.232.$n.1
addr_b=10.232.$n.2
work=$(mktemp -d /tmp/sondrel-package.XXXXXX)
installed=
# The postinst makes the service's account; a machine that had none gets none back.
had_account=$(getent passwd sondrel || true)
had_group=$(getent group sondrel || true)

stop_namespace_programs() {
  local ns pid
  for ns in "$ns_a" "$ns_b"; do
    ip netns list | grep -qw -- "$ns" || continue
    # Only programs this run started live in its namespaces.
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
  done
}

cleanup() {
  local rc=$? ns
  stop_namespace_programs
  for ns in "$ns_a" "$ns_b"; do
    if ip netns list | grep -qw -- "$ns"; then ip netns del "$ns" 2>/dev/null || true; fi
  done
  if [[ -n $installed ]]; then
    dpkg --purge sondrel >/dev/null 2>&1 || true
  fi
  # userdel also takes the group of the same name with it; a group that was here before comes back.
  if [[ -z $had_account ]] && getent passwd sondrel >/dev/null; then userdel sondrel 2>/dev/null || true; fi
  if [[ -z $had_group ]]; then
    if getent group sondrel >/dev/null; then groupdel sondrel 2>/dev/null || true; fi
  elif ! getent group sondrel >/dev/null; then
    IFS=: read -r _ _ gid members <<<"$had_group"
    groupadd --system -g "$gid" sondrel 2>/dev/null || true
    [[ -z $members ]] || gpasswd -M "$members" sondrel >/dev/null 2>&1 || true
  fi
  rm -rf -- "$work"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
  echo "FAIL: $1"
  exit 1
}

# The package: built here, or the one given.
if [[ -d $target ]]; then
  (cd "$target" && cpack -G DEB) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
  deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$work/cpack.log" | tail -n 1)
  [[ -n $deb ]] || { cat "$work/cpack.log"; fail "cpack named no .deb"; }
else
  deb=$target
fi
[[ -f $deb ]] || fail "no package at $deb"
echo "package: $deb"

if dpkg-deb -c "$deb" | grep -q 'autostart'; then
  fail "the package puts something in an autostart folder"
fi

# dpkg -i leaves the package unconfigured when a dependency is missing;
# apt-get -f then installs the dependencies and configures it.
installed=yes
if ! dpkg -i "$deb" >"$work/dpkg-install.log" 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -f -y -qq >>"$work/dpkg-install.log" 2>&1 || true
fi
if [[ $(dpkg-query -W -f='${Status}' sondrel 2>/dev/null) != "install ok installed" ]]; then
  cat "$work/dpkg-install.log"
  fail "the package did not install"
fi
dpkg-query -L sondrel >"$work/package-paths"

for path in "$binary" /usr/bin/Sondrelix.chm /usr/share/applications/sondrel.desktop \
            /usr/share/man/man1/sondrel.1.gz /usr/share/icons/hicolor/scalable/apps/sondrel.svg \
            /usr/share/icons/hicolor/48x48/apps/sondrel.png /usr/share/doc/sondrel/copyright \
            /usr/lib/systemd/system/sondrel.service /usr/share/metainfo/org.sondrel.Sondrel.metainfo.xml \
            /usr/share/lintian/overrides/sondrel; do
  [[ -f $path ]] || fail "the package did not install $path"
done
[[ -z $(find /etc/xdg/autostart -name 'sondrel*' 2>/dev/null) ]] || fail "an autostart entry was installed"
[[ -z $(find /etc/systemd/system -name 'sondrel*' 2>/dev/null) ]] || fail "the service was enabled on install"
getent passwd sondrel >/dev/null || fail "the service's account sondrel was not made"

# The window holds no capability; the helper holds exactly what capture and
# owner discovery need, permitted only, and runs for root and the group alone.
helper=/usr/libexec/sondrel/sondrel-probe
[[ -f $helper ]] || fail "the package did not install $helper"
[[ -z $(getcap "$binary") ]] || fail "the window has capabilities: $(getcap "$binary")"
getent group sondrel >/dev/null || fail "the postinst made no group sondrel"
[[ $(stat -c '%U:%G %a' "$helper") == "root:sondrel 750" ]] || fail "$helper is $(stat -c '%U:%G %a' "$helper"), not root:sondrel 750"
capabilities=$(getcap "$helper")
echo "getcap: $capabilities"
[[ ${capabilities#"$helper "} == cap_dac_read_search,cap_net_raw,cap_sys_ptrace,cap_perfmon,cap_bpf=p ]] ||
  fail "the helper's capabilities are not exactly capture, process reading and probe loading, permitted only"

# Two namespaces joined by a veth pair; nothing in them is routed anywhere else.
if ! ip netns add "$ns_a" 2>"$work/netns.err"; then
  echo "skipped: cannot create a network namespace: $(cat "$work/netns.err")"
  exit 77
fi
ip netns add "$ns_b"
ip link add "$veth_a" netns "$ns_a" type veth peer name "$veth_b" netns "$ns_b"
ip -n "$ns_a" addr add "$addr_a/24" dev "$veth_a"
ip -n "$ns_b" addr add "$addr_b/24" dev "$veth_b"
for ns in "$ns_a" "$ns_b"; do
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 2>/dev/null || true
  ip -n "$ns" link set lo up
done
ip -n "$ns_a" link set "$veth_a" up
ip -n "$ns_b" link set "$veth_b" up

# Settings: daily reports on, into our folder, capturing the address of ns_a.
# The address is the number whose bytes in memory are a.b.c.d.
reports=$work/reports
config=$work/config
runtime=$work/runtime
mkdir -p "$reports" "$config/Sondrelix" "$runtime" "$work/home"
chmod 700 "$runtime"
IFS=. read -r a b c d <<<"$addr_a"
printf '1 %s %u' "$reports" $(( a + (b << 8) + (c << 16) + (d << 24) )) >"$config/Sondrelix/conf01.dat"

# open_stdout NAME: a FIFO for a helper's output, opened for reading in $fd.
open_stdout() {
  mkfifo "$work/$1.out"
  exec {fd}<>"$work/$1.out"
}
expect_line() {
  local what=$1 pattern=$2 seconds=$3
  line=
  if ! read -r -t "$seconds" -u "$fd" line || [[ ! $line =~ $pattern ]]; then
    fail "$what (got '${line}'): $(cat "$work"/*.err 2>/dev/null)"
  fi
}

udp_port=40002
datagrams=7
payload=100
# IPv4 Total Length of each datagram: 20 bytes of IP header, 8 of UDP header.
expected_ul=$(( datagrams * (20 + 8 + payload) ))

open_stdout sink
ip netns exec "$ns_b" "$python" -c '
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], int(sys.argv[2])))
print("ready", flush=True)
while True:
    s.recv(65536)
' "$addr_b" "$udp_port" 1>&"$fd" 2>"$work/sink.err" &
disown
expect_line "the receiver did not start" '^ready$' 10
exec {fd}<&-

# Ten seconds of fake time before midnight leave the start-up, the sender and
# its discovery enough room; only the wall clock moves (Qt's timers run on the
# monotonic clock).
started=$SECONDS
ip netns exec "$ns_a" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$work/home" \
  XDG_CONFIG_HOME="$config" XDG_RUNTIME_DIR="$runtime" QT_QPA_PLATFORM=offscreen TZ=UTC LC_ALL=C.UTF-8 \
  faketime -m --exclude-monotonic '2027-01-31 23:59:40' "$binary" >"$work/sondrel.log" 2>&1 &
sondrel_pid=$!
disown

# Capture has started once a packet socket exists in the namespace; only
# this program opens one there.
capturing=
for _ in $(seq 1 100); do
  if [[ $(ip netns exec "$ns_a" cat /proc/net/packet | wc -l) -gt 1 ]]; then
    capturing=yes
    break
  fi
  kill -0 "$sondrel_pid" 2>/dev/null || break
  sleep 0.1
done
[[ -n $capturing ]] || fail "the installed program did not start capturing: $(cat "$work/sondrel.log")"

# The sender holds its port for a second before and after sending, so the
# discovery passes name it when its datagrams are accounted.
open_stdout sender
ip netns exec "$ns_a" "$python" -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], 0))
print("port", s.getsockname()[1], flush=True)
time.sleep(1)
for _ in range(int(sys.argv[4])):
    s.sendto(b"x" * int(sys.argv[5]), (sys.argv[2], int(sys.argv[3])))
    time.sleep(0.05)
print("sent", flush=True)
time.sleep(3600)
' "$addr_a" "$addr_b" "$udp_port" "$datagrams" "$payload" 1>&"$fd" 2>"$work/sender.err" &
disown
expect_line "the sender did not start" '^port [0-9]+$' 10
sender_port=${line#port }
expect_line "the sender did not finish" '^sent$' 10
exec {fd}<&-
(( SECONDS - started < 18 )) || fail "sending ended $(( SECONDS - started )) s after the start, too close to the fake midnight"

report=$reports/2027_01_02.csv
sender_path=$(readlink -f "$python")
line_pattern="^${sender_path//./\\.},${expected_ul},0,UDP:${sender_port},UDP:${udp_port},${addr_b//./\\.},[^,]*,"$'\r$'
# Waits for the sender's whole line, then checks it.
for _ in $(seq 1 250); do
  [[ -f $report ]] && grep -qE ",UDP:${sender_port},.*,"$'\r$' "$report" && break
  kill -0 "$sondrel_pid" 2>/dev/null || break
  sleep 0.2
done
if ! [[ -f $report ]] || ! grep -qE "$line_pattern" "$report"; then
  echo "--- report folder:"; ls -la "$reports"
  [[ -f $report ]] && { echo "--- $report:"; cat -A "$report"; }
  echo "--- program output:"; cat "$work/sondrel.log"
  fail "no daily report with $expected_ul bytes sent by $sender_path from port $sender_port"
fi
echo "daily report $(basename "$report"):"
cat "$report"

stop_namespace_programs

# Removal, then purge: no file of the package may be left, nor a folder it
# brought that no other package holds.
dpkg -r sondrel >"$work/dpkg-remove.log" 2>&1 || { cat "$work/dpkg-remove.log"; fail "dpkg -r failed"; }
while IFS= read -r path; do
  if [[ -e $path && ! -d $path ]]; then fail "$path is left after dpkg -r"; fi
done <"$work/package-paths"
dpkg --purge sondrel >"$work/dpkg-purge.log" 2>&1 || { cat "$work/dpkg-purge.log"; fail "dpkg --purge failed"; }
installed=
if [[ -n $(package_state) && $(package_state) != not-installed ]]; then
  fail "dpkg still knows the package after the purge"
fi
while IFS= read -r path; do
  [[ -e $path ]] || continue
  [[ -d $path ]] || fail "$path is left after the purge"
  if [[ -z $(ls -A "$path") ]] && ! dpkg-query -S "$path" >/dev/null 2>&1; then
    fail "the empty folder $path is left after the purge"
  fi
done <"$work/package-paths"
[[ ! -e /usr/share/doc/sondrel ]] || fail "/usr/share/doc/sondrel is left after the purge"
! dpkg-statoverride --list "$helper" >/dev/null 2>&1 || fail "the purge left the override of $helper"

echo "PASS"
