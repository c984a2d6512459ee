# shellcheck shell=bash
# Sourced by the end-to-end scripts: two network namespaces of this run's own,
# joined by a veth pair, torn down on exit whatever the outcome. Nothing in
# them is routed anywhere else, so no test traffic leaves the pair.
#
# After netns_pair_create: ns_a, ns_b, veth_a, veth_b, addr_a, addr_b, work.

netns_pair_cleanup() {
  local rc=$?
  local ns pid
  for ns in "${ns_a:-}" "${ns_b:-}"; do
    [[ -n $ns ]] || continue
    if ip netns list | grep -qw -- "$ns"; then
      # Only programs this run started live in its namespaces.
      for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
      ip netns del "$ns" 2>/dev/null || true
    fi
  done
  [[ -n ${work:-} && -d $work ]] && rm -rf -- "$work"
  exit "$rc"
}

# Exits 77 (skipped) when this machine cannot make namespaces at all.
netns_pair_create() {
  local n=$(( $$ % 200 ))
  ns_a=sondrel-e2e-a-$$
  ns_b=sondrel-e2e-b-$$
  veth_a=se2e-a-$$
  veth_b=se2e-b-$$
  addr_a=10.231.$n.1
  addr_b=10.231.$n.2
  work=$(mktemp -d /tmp/sondrel-e2e.XXXXXX)
  trap netns_pair_cleanup EXIT
  trap 'exit 130' INT TERM

  if ! ip netns add "$ns_a" 2>"$work/netns.err"; then
    echo "skipped: cannot create a network namespace: $(cat "$work/netns.err")"
    exit 77
  fi
  ip netns add "$ns_b"
  ip link add "$veth_a" netns "$ns_a" type veth peer name "$veth_b" netns "$ns_b"
  ip -n "$ns_a" addr add "$addr_a/24" dev "$veth_a"
  ip -n "$ns_b" addr add "$addr_b/24" dev "$veth_b"
  local ns
  for ns in "$ns_a" "$ns_b"; do
    # IPv6 neighbour discovery would only add frames to read past.
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 2>/dev/null || true
    ip -n "$ns" link set lo up
  done
  ip -n "$ns_a" link set "$veth_a" up
  ip -n "$ns_b" link set "$veth_b" up
}

# start_announcing NAME NAMESPACE PATTERN COMMAND...: starts a program in the
# namespace and waits for the first line it prints, which must match PATTERN
# (a bash regular expression); the line is left in $announced. Its stderr goes
# to $work/NAME.err.
start_announcing() {
  local name=$1 ns=$2 pattern=$3 fd
  shift 3
  mkfifo "$work/$name.out"
  ip netns exec "$ns" "$@" >"$work/$name.out" 2>"$work/$name.err" &
  disown  # ended by the clean-up; bash need not report its death
  exec {fd}<"$work/$name.out"
  announced=
  if ! read -r -t 10 -u "$fd" announced || [[ ! $announced =~ $pattern ]]; then
    echo "FAIL: $name did not start: $(cat "$work/$name.err")"
    exit 1
  fi
  exec {fd}<&-
}

# start_ready NAME NAMESPACE COMMAND...: the same for servers that print "ready".
start_ready() {
  local name=$1 ns=$2
  shift 2
  start_announcing "$name" "$ns" '^ready$' "$@"
}
