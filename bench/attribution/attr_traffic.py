#!/usr/bin/python3
"""The traffic of one scenario of the attribution bench, run in the measured
namespace: starts the bench's programs as the scenario says and prints the
hold line of every program once all have ended (see attr_net.h), so the
report knows by construction which executable owned which port when.

    attr_traffic.py SCENARIO BIN_DIR PEER4 PEER6 HTTP_PORT SINK_PORT ECHO_PORT

PEER4/PEER6 are the peer namespace's addresses; the peer runs attr_http_server
on HTTP_PORT (IPv4), attr_sink on SINK_PORT and attr_sink --echo on ECHO_PORT
(both families).
"""
import subprocess
import sys
import time

# Fixed ports lie below the kernel's ephemeral range, so no socket the
# monitors opened can hold one.
REUSE_PORT = 20000
SHARED_PORT = 21000
V6ONLY_PORT = 22000
# Every pair of payload bytes of the fragment senders spells this port: a
# later fragment read as if it began with ports would name the idle holder.
DECOY_PORT = 0x5A5A


class Traffic:
    def __init__(self, bin_dir, peer4, peer6, http_port, sink_port, echo_port):
        self.bin = bin_dir
        self.http = f"{peer4}:{http_port}"
        self.sink4 = f"{peer4}:{sink_port}"
        self.sink6 = f"[{peer6}]:{sink_port}"
        self.echo4 = f"{peer4}:{echo_port}"
        self.holds = []

    def start(self, program, *args, via_shell=False):
        argv = [f"{self.bin}/{program}", *map(str, args)]
        if via_shell:
            # The shell replaces itself with the program: one process, three images.
            argv = ["/bin/sh", "-c", 'exec "$0" "$@"', *argv]
        return subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)

    def finish(self, *processes):
        for process in processes:
            out, _ = process.communicate(timeout=60)
            if process.returncode != 0:
                sys.exit(f"attr_traffic: {process.args} ended with {process.returncode}")
            self.holds += [line for line in out.splitlines() if line.startswith("hold ")]

    def run(self, program, *args, **options):
        self.finish(self.start(program, *args, **options))

    def fetch(self, kilobytes, lifetime_ms, *extra):
        # The connection takes about 3 ms of the lifetime.
        return self.start("attr_fetch", "--server", self.http, "--bytes", kilobytes * 1000,
                          "--ms", max(0, lifetime_ms - 3), "--life-ms", lifetime_ms, *extra)

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
}


def main():
    if len(sys.argv) != 8 or sys.argv[1] not in SCENARIOS:
        sys.exit("usage: attr_traffic.py SCENARIO BIN_DIR PEER4 PEER6 HTTP_PORT SINK_PORT ECHO_PORT\n"
                 f"scenarios: {' '.join(SCENARIOS)}")
    traffic = Traffic(*sys.argv[2:])
    SCENARIOS[sys.argv[1]](traffic)
    print("\n".join(traffic.holds))


if __name__ == "__main__":
    main()
