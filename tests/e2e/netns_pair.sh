# shellcheck shell=bash
# Sourced by the end-to-end scripts: two network namespaces of this run's own,
# joined by a veth pair, torn down on exit whatever the outcome. Nothing in
# them is routed anywhere else, so no test traffic leaves the pair.
#
# After netns_pair_create: ns_a, ns_b, veth_a, veth_b, addr_a, addr_b, work;
# after netns_pair_create ipv6 also addr6_a, addr6_b. A test of loopback
# alone takes one namespace instead (netns_loopback_create): ns_a and work.
# Further peers of ns_a, each behind a veth pair of its own, come with
# netns_peer_create.

netns_pair_cleanup() {
  local rc=$?
  local ns pid
  for ns in "${ns_a:-}" "${ns_b:-}" "${netns_peers[@]}"; do
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

# The namespaces of netns_peer_create, for the clean-up.
netns_peers=()

# Exits 77 (skipped) unless run as root; fails when a tool the test runs is
# not installed.
netns_pair_require() {
  if [[ $(id -u) -ne 0 ]]; then
    echo "skipped: making network namespaces and capturing need root"
    exit 77
  fi
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed"; exit 1; }
  done
}

# Exits 77 (skipped) when this machine cannot make namespaces at all.
# With "ipv6" the pair keeps IPv6 and carries a unique-local address on each
# side besides the IPv4 one (see netns_pair_add_ipv6).
netns_pair_create() {
  local family=${1:-ipv4}
  local n=$(( $$ % 200 ))
  ns_b=sondrel-e2e-b-$$
  veth_a=se2e-a-$$
  veth_b=se2e-b-$$
  addr_a=10.231.$n.1
  addr_b=10.231.$n.2
  netns_open sondrel-e2e-a-$$
  ip netns add "$ns_b"
  ip link add "$veth_a" netns "$ns_a" type veth peer name "$veth_b" netns "$ns_b"
  ip -n "$ns_a" addr add "$addr_a/24" dev "$veth_a"
  ip -n "$ns_b" addr add "$addr_b/24" dev "$veth_b"
  local ns
  for ns in "$ns_a" "$ns_b"; do
    # IPv6 neighbour discovery would only add frames to read past.
    [[ $family == ipv6 ]] || ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 2>/dev/null || true
    ip -n "$ns" link set lo up
  done
  [[ $family == ipv6 ]] && netns_pair_add_ipv6 "$n"
  ip -n "$ns_a" link set "$veth_a" up
  ip -n "$ns_b" link set "$veth_b" up
  [[ $family == ipv6 ]] && netns_pair_quiet_neighbours
  return 0
}

# One namespace with nothing but its loopback interface, up with 127.0.0.1
# and ::1: traffic to those addresses never leaves it. Exits 77 (skipped)
# when this machine cannot make namespaces at all.
netns_loopback_create() {
  netns_open sondrel-e2e-lo-$$
  ip -n "$ns_a" link set lo up
  if ! ip -n "$ns_a" -6 addr show dev lo | grep -q 'inet6 ::1/'; then
    echo "FAIL: the namespace's loopback interface has no ::1 (IPv6 disabled?)"
    exit 1
  fi
}

# netns_peer_create NAME OCTET: one more namespace, sondrel-e2e-NAME-PID, to be
# joined to ns_a (which must exist) by a veth pair of its own: se2e-aNAME-PID in
# ns_a with 10.OCTET.N.1, se2e-NAME-PID in the peer with 10.OCTET.N.2. Sets
# ns_NAME, veth_aNAME, veth_NAME, addr_aNAME and addr_NAME (NAME one letter,
# so that the names fit the kernel's 15 bytes). Only the namespace
# is made here: netns_peer_link NAME makes the link, and
# netns_peer_link_command NAME prints the command that does, for a program
# that adds the interface while it watches.
netns_peer_create() {
  local name=$1 octet=$2
  local n=$(( $$ % 200 ))
  local ns=sondrel-e2e-$name-$$
  ip netns add "$ns"
  netns_peers+=("$ns")
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 2>/dev/null || true
  ip -n "$ns" link set lo up
  printf -v "ns_$name" %s "$ns"
  printf -v "veth_a$name" %s "se2e-a$name-$$"
  printf -v "veth_$name" %s "se2e-$name-$$"
  printf -v "addr_a$name" %s "10.$octet.$n.1"
  printf -v "addr_$name" %s "10.$octet.$n.2"
}

# The veth pair of a peer, addressed and up on both ends, in one shell command
# that runs from any namespace.
netns_peer_link_command() {
  local ns=ns_$1 here=veth_a$1 there=veth_$1 addr_here=addr_a$1 addr_there=addr_$1
  printf '%s' "ip link add ${!here} netns $ns_a type veth peer name ${!there} netns ${!ns}" \
    " && ip -n $ns_a addr add ${!addr_here}/24 dev ${!here}" \
    " && ip -n ${!ns} addr add ${!addr_there}/24 dev ${!there}" \
    " && ip -n ${!ns} link set ${!there} up && ip -n $ns_a link set ${!here} up"
}

netns_peer_link() {
  sh -c "$(netns_peer_link_command "$1")"
}

# The work folder, the clean-up on exit and the namespace ns_a, named $1.
netns_open() {
  ns_a=$1
  work=$(mktemp -d /tmp/sondrel-e2e.XXXXXX)
  trap netns_pair_cleanup EXIT
  trap 'exit 130' INT TERM
  if ! ip netns add "$ns_a" 2>"$work/netns.err"; then
    echo "skipped: cannot create a network namespace: $(cat "$work/netns.err")"
    exit 77
  fi
}

# Unique-local addresses on both ends, and a link on which no ICMPv6 of
# these addresses crosses but what a test sends: no link-local addresses
# (and so no router solicitation; MLD reports go out from ::), no duplicate
# address detection, and neighbours entered by hand, so neither neighbour
# discovery nor its reachability probes ever run.
netns_pair_add_ipv6() {
  local n=$1 veth ns
  addr6_a=fd00:e2e:$(( n + 1 ))::1
  addr6_b=fd00:e2e:$(( n + 1 ))::2
  for veth in "$ns_a/$veth_a" "$ns_b/$veth_b"; do
    ip -n "${veth%/*}" link set dev "${veth#*/}" addrgenmode none
  done
  ip -n "$ns_a" addr add "$addr6_a/64" dev "$veth_a" nodad
  ip -n "$ns_b" addr add "$addr6_b/64" dev "$veth_b" nodad
}

netns_pair_quiet_neighbours() {
  local mac_a mac_b waited=0
  mac_a=$(ip -n "$ns_a" -br link show dev "$veth_a" | awk '{print $3}')
  mac_b=$(ip -n "$ns_b" -br link show dev "$veth_b" | awk '{print $3}')
  ip -n "$ns_a" neigh replace "$addr6_b" lladdr "$mac_b" dev "$veth_a" nud permanent
  ip -n "$ns_b" neigh replace "$addr6_a" lladdr "$mac_a" dev "$veth_b" nud permanent
  # Even without detection an address stays tentative until the kernel's
  # address work has seen the link come up.
  while [[ -n $(ip -n "$ns_a" -6 addr show tentative; ip -n "$ns_b" -6 addr show tentative) ]]; do
    if (( waited++ == 50 )); then
      echo "FAIL: the IPv6 addresses stay tentative"
      exit 1
    fi
    sleep 0.1
  done
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

# netns_masquerade NS SOURCE OUT_IF: NS forwards, and masquerades what comes
# from SOURCE (an address or a prefix) on its way out of OUT_IF; nft, else
# iptables. netns_unmasquerade NS SOURCE OUT_IF takes it away again.
netns_masquerade() {
  local ns=$1 source=$2 out=$3
  ip netns exec "$ns" sysctl -qw net.ipv4.ip_forward=1
  if command -v nft >/dev/null; then
    ip netns exec "$ns" nft -f - <<NAT
table ip sondrel_nat {
  chain postrouting {
    type nat hook postrouting priority srcnat; policy accept;
    ip saddr $source oifname "$out" masquerade
  }
}
NAT
  elif command -v iptables >/dev/null; then
    ip netns exec "$ns" iptables -t nat -A POSTROUTING -s "$source" -o "$out" -j MASQUERADE
  else
    echo "FAIL: neither nft nor iptables is installed"
    exit 1
  fi
}

netns_unmasquerade() {
  local ns=$1 source=$2 out=$3
  if command -v nft >/dev/null; then
    ip netns exec "$ns" nft delete table ip sondrel_nat
  else
    ip netns exec "$ns" iptables -t nat -D POSTROUTING -s "$source" -o "$out" -j MASQUERADE
  fi
  ip netns exec "$ns" sysctl -qw net.ipv4.ip_forward=0
}
