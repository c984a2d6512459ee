# shellcheck shell=bash
# Sourced by the benchmarks that measure Sondrel beside other tools in network
# namespaces of their own: the end-to-end tests' pair and checks, in an
# address range of the benchmark's own, and the waits their scripts share.

# shellcheck source-path=SCRIPTDIR source=../tests/e2e/netns_pair.sh
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/netns_pair.sh"

# bench_pair_create NAME OCTET [ipv6]: namespaces sondrel-NAME-{a,b}-PID joined
# by veth sNAME-{a,b}-PID, 10.OCTET.N.1 and .2; with "ipv6" also
# fd00:5a7:N::1 and ::2 without duplicate address detection, so they are
# usable at once. The clean-up (a trap on exit) kills what runs in the
# namespaces and removes them.
bench_pair_create() {
  local name=$1 octet=$2 family=${3:-ipv4}
  local n=$(( $$ % 250 ))
  ns_a=sondrel-$name-a-$$ ns_b=sondrel-$name-b-$$
  veth_a=s$name-a-$$ veth_b=s$name-b-$$
  addr_a=10.$octet.$n.1 addr_b=10.$octet.$n.2
  addr6_a=fd00:5a7:$n::1 addr6_b=fd00:5a7:$n::2
  work=$(mktemp -d "/tmp/sondrel-$name.XXXXXX")
  trap netns_pair_cleanup EXIT
  trap 'exit 130' INT TERM
  ip netns add "$ns_a" || { echo "skipped: cannot create a network namespace"; exit 77; }
  ip netns add "$ns_b"
  ip link add "$veth_a" netns "$ns_a" type veth peer name "$veth_b" netns "$ns_b"
  local side ns dev addr addr6
  for side in a b; do
    ns=ns_$side dev=veth_$side addr=addr_$side addr6=addr6_$side
    if [[ $family == ipv6 ]]; then
      ip netns exec "${!ns}" sysctl -qw net.ipv6.conf.all.disable_ipv6=0 net.ipv6.conf.default.accept_dad=0 \
        net.ipv6.conf.all.accept_ra=0
      ip -n "${!ns}" addr add "${!addr6}/64" dev "${!dev}" nodad
    else
      ip netns exec "${!ns}" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 2>/dev/null || true
    fi
    ip -n "${!ns}" addr add "${!addr}/24" dev "${!dev}"
    ip -n "${!ns}" link set lo up
    ip -n "${!ns}" link set "${!dev}" up
  done
}

# wait_for_text FILE TEXT SECONDS: true once FILE holds TEXT.
wait_for_text() {
  local tries=$(( $3 * 10 ))
  while (( tries-- > 0 )); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# The value of a "NAME<TAB>VALUE" line of the monitor's output.
monitor_says() {
  awk -F'\t' -v name="$2" '$1 == name { print $2; exit }' "$1"
}
