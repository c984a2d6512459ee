#!/usr/bin/python3
"""The traffic of one scenario of the attribution bench, run in the measured
namespace: starts the bench's programs as the scenario says and prints the
hold line of every program once all have ended (see attr_net.h), so the
report knows by construction which executable owned which port when. A
scenario this machine cannot run prints "skipped REASON" instead.

    attr_traffic.py SCENARIO BIN_DIR PEER4 PEER6 HTTP_PORT SINK_PORT ECHO_PORT PEER_NS [NAT_NS]

PEER4/PEER6 are the peer namespace's addresses; the peer runs attr_http_server
on HTTP_PORT (IPv4), attr_sink on SINK_PORT and attr_sink --echo on ECHO_PORT
(both families), and compare_tcp_sink on TCP SINK_PORT (IPv4). Programs of
the peer that only one scenario needs run there (PEER_NS) for that scenario.
NAT_NS is netns-nat's namespace behind this one, whose traffic this one
forwards and masquerades.
"""
import json
import subprocess
import sys
import time
from collections import defaultdict

# Fixed ports lie below the kernel's ephemeral range, so no socket the
# monitors opened can hold one.
REUSE_PORT = 20000
SHARED_PORT = 21000
V6ONLY_PORT = 22000
# Every pair of payload bytes of the fragment senders spells this port: a
# later fragment read as if it began with ports would name the idle holder.
DECOY_PORT = 0x5A5A
INJECT_PORT = 23000
# The echo identifier of this namespace's ping sockets and of the peer's,
# whose requests this namespace's kernel answers with it.
PING_IDENT = 30000
SCTP_PORT = 9002
RAW_PROTOCOL = 253


class Skipped(Exception):
    pass


def ip_json(*args):
    return json.loads(subprocess.run(["ip", "-j", *args], check=True, capture_output=True, text=True).stdout)


def translated_ports(local4):
    """(protocol, source port before translation) -> local port after it, for
    the connections this namespace masquerades, from its conntrack table:
        ipv4 2 tcp 6 117 TIME_WAIT src=C dst=B sport=P dport=80 src=B dst=A sport=80 dport=P' ..."""
    ports = {}
    with open("/proc/net/nf_conntrack", encoding="ascii") as f:
        for line in f:
            cells = line.split()
            pairs = [cell.split("=", 1) for cell in cells if "=" in cell]
            values = defaultdict(list)
            for name, value in pairs:
                values[name].append(value)
            if len(values["src"]) == 2 and values["src"][0] != local4 and values["dst"][1] == local4:
                ports[(cells[2], int(values["sport"][0]))] = int(values["dport"][1])
    return ports


class Traffic:
    def __init__(self, bin_dir, peer4, peer6, http_port, sink_port, echo_port, peer_ns, nat_ns=None):
        self.bin = bin_dir
        self.peer4, self.peer6 = peer4, peer6
        self.http = f"{peer4}:{http_port}"
        self.sink4 = f"{peer4}:{sink_port}"
        self.sink6 = f"[{peer6}]:{sink_port}"
        self.echo4 = f"{peer4}:{echo_port}"
        self.peer_ns, self.nat_ns = peer_ns, nat_ns
        route = ip_json("route", "get", peer4)[0]
        self.dev, self.local4 = route["dev"], route["prefsrc"]
        self.local6 = ip_json("-6", "route", "get", peer6)[0].get("prefsrc")
        self.holds = []

    def start(self, program, *args, via_shell=False, namespace=None):
        argv = [f"{self.bin}/{program}", *map(str, args)]
        if via_shell:
            # The shell replaces itself with the program: one process, three images.
            argv = ["/bin/sh", "-c", 'exec "$0" "$@"', *argv]
        if namespace:
            argv = ["ip", "netns", "exec", namespace, *argv]
        return subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)

    def finish(self, *processes, relabel=None):
        for process in processes:
            out, _ = process.communicate(timeout=60)
            if process.returncode != 0:
                sys.exit(f"attr_traffic: {process.args} ended with {process.returncode}")
            holds = [line for line in out.splitlines() if line.startswith("hold ")]
            self.holds += map(relabel, holds) if relabel else holds

    def in_peer(self, program, *args):
        """A program of the peer namespace; its hold lines are no program's of
        this namespace and are left out."""
        return self.start(program, *args, namespace=self.peer_ns)

    def peer_ready(self, program, *args):
        process = self.in_peer(program, *args)
        line = process.stdout.readline().strip()
        if line != "ready":
            process.kill()
            process.wait()
            if line.startswith("unsupported"):
                raise Skipped(line)
            sys.exit(f"attr_traffic: {program} did not start in the peer: {line}")
        return process

    @staticmethod
    def stop(process):
        process.kill()
        process.wait()

    def peer_mac(self):
        return next(link["address"] for link in ip_json("-n", self.peer_ns, "link", "show")
                    if link.get("link_type") == "ether")

    def run(self, program, *args, **options):
        self.finish(self.start(program, *args, **options))

    def fetch(self, kilobytes, lifetime_ms, *extra, **options):
        # The connection takes about 3 ms of the lifetime.
        return self.start("attr_fetch", "--server", self.http, "--bytes", kilobytes * 1000,
                          "--ms", max(0, lifetime_ms - 3), "--life-ms", lifetime_ms, *extra, **options)

    def udp(self, count, spread_ms, *extra, program="attr_udp_send", to=None, **options):
        return self.start(program, "--to", to or self.sink4, "--count", count, "--size", 200,
                          "--spread-ms", spread_ms, *extra, **options)


def sequential_downloads(t):
    """30 downloads of 400 KB one after the other, living 5 to 100 ms."""
    lifetimes = [5, 10, 20, 35, 50, 75, 100, 100, 100, 100]
    for i in range(30):
        t.finish(t.fetch(400, lifetimes[i % len(lifetimes)]))


def parallel_downloads(t):
    """5 waves of 4 downloads of 1 MB at once, living 5 to 100 ms."""
    for _ in range(5):
        t.finish(*[t.fetch(1000, ms) for ms in (5, 20, 50, 100)])


def udp_bursts(t):
    """20 processes of 100 datagrams over 200 ms each, a new one every 100 ms."""
    started = time.monotonic()
    senders = []
    for i in range(20):
        time.sleep(max(0.0, started + 0.1 * i - time.monotonic()))
        senders.append(t.udp(100, 200))
    t.finish(*senders)


def two_ms_programs(t):
    """20 programs that send 5 datagrams within 1 ms and end (about 2 ms alive)."""
    for _ in range(20):
        t.finish(t.udp(5, 1))
        time.sleep(0.1)


def port_reuse(t):
    """10 ports, each first A's (50 datagrams over 150 ms), then, 10 to 90 ms
    after A ended, B's: attr_udp_send_b binds the same port and sends as much."""
    for i in range(10):
        port = REUSE_PORT + i
        t.finish(t.udp(50, 150, "--bind-port", port))
        time.sleep((10, 50, 90)[i % 3] / 1000)
        t.finish(t.udp(50, 150, "--bind-port", port, program="attr_udp_send_b"))


def tcp_and_udp_on_one_port(t):
    """5 ports, each held by two programs at once: a 1 MB download over
    200 ms from TCP port P and 100 datagrams over 200 ms from UDP port P."""
    for i in range(5):
        port = SHARED_PORT + i
        t.finish(t.fetch(1000, 200, "--bind-port", port), t.udp(100, 200, "--bind-port", port))


def v6only_holder(t):
    """5 ports, each held by an idle IPv6-only socket of attr_udp_hold for
    600 ms, while attr_udp_send sends IPv4 from 0.0.0.0 on the same port."""
    for i in range(5):
        port = V6ONLY_PORT + i
        holder = t.start("attr_udp_hold", "--port", port, "--family", 6, "--v6only", "--ms", 600)
        if holder.stdout.readline().strip() != "ready":
            sys.exit("attr_traffic: the IPv6-only holder did not start")
        time.sleep(0.1)
        t.finish(t.udp(100, 200, "--bind-port", port))
        t.finish(holder)


def forked_child(t):
    """10 times: attr_fd_parent opens a connected UDP socket and forks; the
    child execs attr_udp_send on it (100 datagrams over 150 ms) while the
    parent keeps its copy open."""
    for _ in range(10):
        t.run("attr_fd_parent", "--to", t.sink4, "--", f"{t.bin}/attr_udp_send", "--count", 100, "--size", 200,
              "--spread-ms", 150)


def exec_in_place(t):
    """10 shells that exec attr_udp_send (50 datagrams over 20 or 150 ms)."""
    for i in range(10):
        t.finish(t.udp(50, (20, 150)[i % 2], via_shell=True))


def fragments(t):
    """3 programs, each 100 datagrams of 3000 bytes over 200 ms, echoed back
    by the peer: three IPv4 fragments each way at MTU 1500. An idle UDP
    socket holds the port that the payload spells."""
    decoy = t.start("attr_udp_hold", "--port", DECOY_PORT, "--family", 4, "--ms", 2500)
    if decoy.stdout.readline().strip() != "ready":
        sys.exit("attr_traffic: the decoy did not start")
    for _ in range(3):
        t.run("attr_udp_send", "--to", t.echo4, "--count", 100, "--size", 3000, "--spread-ms", 200, "--echo",
              "--fill-port", DECOY_PORT)
    t.finish(decoy)


def dual_stack(t):
    """5 programs with one IPv6 socket on [::] (not IPv6-only), 100 datagrams
    over 200 ms, alternately to the peer's IPv4 address (mapped) and its IPv6
    address: unconnected, since there are two destinations."""
    for _ in range(5):
        t.finish(t.udp(100, 200, "--family", "dual", "--to", t.sink6))


def ping_flood(t):
    """A ping socket of each family with echo identifier 30000 sends 2000
    requests to the peer, as fast as the replies come. Meanwhile the peer
    pings this namespace from sockets with the same identifier: those
    requests and the replies this kernel sends are no program's."""
    targets = [(f"{t.peer4}:0", f"{t.local4}:0")]
    if t.local6:
        targets.append((f"[{t.peer6}]:0", f"[{t.local6}]:0"))
    peers = [t.in_peer("attr_ping", "--to", here, "--ident", PING_IDENT, "--count", 2000) for _, here in targets]
    t.finish(*[t.start("attr_ping", "--to", there, "--ident", PING_IDENT, "--count", 2000) for there, _ in targets])
    for peer in peers:
        if peer.wait(timeout=60) != 0:
            sys.exit(f"attr_traffic: the peer's attr_ping ended with {peer.returncode}")


def sctp(t):
    """3 associations, each 1 MB to the peer's SCTP sink."""
    sink = t.peer_ready("attr_sctp", "--listen", SCTP_PORT)
    try:
        for _ in range(3):
            t.run("attr_sctp", "--to", f"{t.peer4}:{SCTP_PORT}", "--bytes", 1_000_000)
    finally:
        t.stop(sink)


def raw_253(t):
    """A raw socket of protocol 253 (for experiments) connected to the peer
    sends 1000 datagrams of 200 bytes; a raw socket there sends each back."""
    echo = t.peer_ready("attr_raw", "--protocol", RAW_PROTOCOL, "--echo")
    try:
        t.run("attr_raw", "--protocol", RAW_PROTOCOL, "--to", f"{t.peer4}:0", "--count", 1000)
    finally:
        t.stop(echo)


def packet_inject(t):
    """A packet socket on this namespace's veth writes 1000 Ethernet frames of
    UDP from port 23000, which no socket holds, to the peer's sink over 500 ms."""
    t.run("attr_inject", "--interface", t.dev, "--mac", t.peer_mac(), "--from", f"{t.local4}:{INJECT_PORT}",
          "--to", t.sink4, "--count", 1000, "--size", 200, "--spread-ms", 500)


def netns_nat(t):
    """From namespace C behind this one, which forwards and masquerades it:
    3 downloads of 1 MB over 200 ms and 2 senders of 100 datagrams over 200 ms
    to the peer's sink. The captures see them after translation: each hold
    line takes the local port the translation gave and the label the program
    must be shown under, its path and then C's name in brackets."""
    if not t.nat_ns:
        sys.exit("attr_traffic: netns-nat needs the namespace behind this one (NAT_NS)")
    programs = [t.fetch(1000, 200, namespace=t.nat_ns) for _ in range(3)]
    programs += [t.udp(100, 200, namespace=t.nat_ns) for _ in range(2)]
    for process in programs:
        process.wait(timeout=60)
    ports = translated_ports(t.local4)

    def relabel(line):
        cells = line.split(" ", 8)
        translated = ports.get((cells[1], int(cells[3])))
        if translated is None:
            sys.exit(f"attr_traffic: no translation of {cells[1]} port {cells[3]} in the conntrack table")
        cells[3] = str(translated)
        cells[8] = f"{cells[8]} ({t.nat_ns})"
        return " ".join(cells)

    t.finish(*programs, relabel=relabel)


def io_uring(t):
    """3 programs, each 1000 datagrams of 200 bytes to the peer's echo through
    io_uring: batches of 16 sends and 16 receives, one enter each, over 500 ms."""
    for _ in range(3):
        t.run("attr_uring", "--to", t.echo4, "--count", 1000, "--batch", 16, "--spread-ms", 500)


def sendfile(t):
    """3 programs, each a 4 MB file down a TCP connection with sendfile(2)."""
    for _ in range(3):
        t.run("attr_file_send", "--to", t.sink4, "--bytes", 4_000_000, "--via", "sendfile")


def splice(t):
    """3 programs, each a 4 MB file moved file -> pipe -> TCP socket with splice(2)."""
    for _ in range(3):
        t.run("attr_file_send", "--to", t.sink4, "--bytes", 4_000_000, "--via", "splice")


def mmsg(t):
    """3 programs, each 1024 datagrams of 200 bytes to the peer's echo in
    batches of 32 with sendmmsg(2), echoes read with recvmmsg(2), over 500 ms."""
    for _ in range(3):
        t.run("attr_mmsg", "--to", t.echo4, "--count", 1024, "--batch", 32, "--spread-ms", 500)


SCENARIOS = {
    "sequential-tcp": sequential_downloads,
    "parallel-tcp": parallel_downloads,
    "udp-bursts": udp_bursts,
    "2ms-program": two_ms_programs,
    "port-reuse": port_reuse,
    "tcp-udp-one-port": tcp_and_udp_on_one_port,
    "v6only-holder": v6only_holder,
    "forked-child": forked_child,
    "exec-in-place": exec_in_place,
    "fragments": fragments,
    "dual-stack": dual_stack,
    "ping-flood": ping_flood,
    "sctp": sctp,
    "raw-253": raw_253,
    "packet-inject": packet_inject,
    "netns-nat": netns_nat,
    "io-uring": io_uring,
    "sendfile": sendfile,
    "splice": splice,
    "mmsg": mmsg,
}


def main():
    if len(sys.argv) not in (9, 10) or sys.argv[1] not in SCENARIOS:
        sys.exit("usage: attr_traffic.py SCENARIO BIN_DIR PEER4 PEER6 HTTP_PORT SINK_PORT ECHO_PORT PEER_NS [NAT_NS]\n"
                 f"scenarios: {' '.join(SCENARIOS)}")
    traffic = Traffic(*sys.argv[2:])
    try:
        SCENARIOS[sys.argv[1]](traffic)
    except Skipped as skipped:
        print(f"skipped {skipped}")
        return
    print("\n".join(traffic.holds))


if __name__ == "__main__":
    main()
