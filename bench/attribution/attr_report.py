#!/usr/bin/python3
"""Tables of the attribution bench, from the raw files run_attribution.sh
leaves in its work folder: per scenario holds.txt (who held which port from
when on), truth.pcap (tcpdump), ebpf.out and proc.out (compare_monitor with and
without eBPF), nethogs.out; idle/idle.txt; compare-ebpf/ and compare-proc/
(run_compare.sh's TCP cases).

    attr_report.py WORK_FOLDER LOCAL_IPV4 LOCAL_IPV6      (Markdown on stdout)

The owner of a captured TCP, UDP or SCTP packet is the program whose hold
line names its protocol, its family and its local port (a later fragment takes
the ports of its first) and began last before the packet; a packet older than
every holder of its port belongs to the first. ICMP and ICMPv6 are keyed the
same way by the echo identifier, which is a ping socket's port, but only for
the echo requests A sends and the replies it receives: the requests A
receives and the replies its kernel sends are the kernel's. A packet of any
other protocol belongs to the raw socket of that protocol whose hold line
names its local address on A (or any address). Packets of no hold line (the
monitors' own datagrams, neighbour discovery) are no scenario's.

A share is the part of the right owners' bytes that a tool put under them:
for Sondrel, summed over (program, protocol, family, local port) of
min(bytes counted there, bytes owned there), held against IP bytes; Sondrel
shows protocols other than TCP and UDP without their number ("-"), so those
are summed per (program, family). For nethogs, which tells programs but not
ports, the sum is per program, held against IP bytes + 14 per frame (it
counts Ethernet frames). A scenario this machine could not run shows the
reason in its row.
"""
import ipaddress
import os
import struct
import sys
from collections import defaultdict

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "compare"))
from compare_report import parse_nethogs, tool_cost, load_case  # noqa: E402

ETHERNET_HEADER = 14
LONG_LIVED_NS = 100_000_000
SCENARIOS = {
    "sequential-tcp": "30 downloads of 400 KB one after the other, programs living 5-100 ms",
    "parallel-tcp": "5 waves of 4 downloads of 1 MB at once, living 5-100 ms",
    "udp-bursts": "20 programs x 100 datagrams over 200 ms, a new one every 100 ms",
    "2ms-program": "20 programs living about 2 ms, 5 datagrams each",
    "port-reuse": "10 ports: program A sends and ends, 10-90 ms later program B binds the port and sends",
    "tcp-udp-one-port": "5 ports each held at once by a TCP download and a UDP sender of two programs",
    "v6only-holder": "idle IPv6-only socket on port P in X; Y sends IPv4 from 0.0.0.0:P",
    "forked-child": "parent opens a UDP socket, forks, the child execs another program that sends on it",
    "exec-in-place": "10 shells that exec the sender (living 20 or 150 ms)",
    "fragments": "3 x 100 datagrams of 3000 bytes, echoed: IPv4 fragments both ways; an idle holder of the port the payload spells",
    "dual-stack": "one IPv6 socket on [::] sending IPv4 (mapped) and IPv6, 5 programs",
    "ping-flood": "a ping socket per family, 2000 echo requests each as fast as answered; the peer pings A with "
                  "the same identifier, which A's kernel answers (no program's)",
    "sctp": "3 SCTP associations of 1 MB each to the peer's sink",
    "raw-253": "a raw socket of protocol 253 sends 1000 datagrams, a raw socket in the peer echoes them",
    "packet-inject": "1000 Ethernet frames of UDP from a port no socket holds, written through a packet socket",
    "netns-nat": "a namespace behind A, masqueraded: 3 downloads of 1 MB and 2 UDP senders, labelled "
                 "\"PATH (NAMESPACE)\"",
    "io-uring": "3 programs x 1000 datagrams echoed, through io_uring (SEND/RECV in batches of 16)",
    "sendfile": "3 programs, a 4 MB file each down TCP with sendfile(2)",
    "splice": "3 programs, a 4 MB file each file -> pipe -> TCP with splice(2)",
    "mmsg": "3 programs x 1024 datagrams echoed, sendmmsg/recvmmsg in batches of 32",
}
# Protocols whose packets are keyed by a local port (ICMP's by the echo identifier).
PORT_PROTOCOLS = {"tcp": 6, "udp": 17, "sctp": 132, "icmp": 1, "icmp6": 58}
ECHO = {1: (8, 0), 58: (128, 129)}  # protocol -> (request type, reply type)
# Sondrel's protocol tags; every other protocol is shown as "-".
TAGGED = {"TCP:": 6, "UDP:": 17}
OTHER = 0
# nethogs ties packets to sockets by both ends from the socket tables; an
# unconnected socket is listed without a remote end.
NETHOGS_CANNOT_TELL = {"dual-stack": "unconnected socket: nethogs cannot tell"}


def read_lines(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


class Hold:
    def __init__(self, cells):
        # hold PROTOCOL FAMILIES PORT START_NS END_NS LIFE_NS PID EXE, or
        # hold raw:NUMBER 4 ADDRESS ... for a raw socket
        self.families = {int(c) for c in cells[2]}
        if cells[1].startswith("raw:"):
            self.protocol = int(cells[1][4:])
            self.place = ipaddress.ip_address(cells[3]).packed
        else:
            self.protocol = PORT_PROTOCOLS[cells[1]]
            self.place = int(cells[3])
        self.start, self.end, self.life, self.pid = (int(c) for c in cells[4:8])
        # The label Sondrel must show; a program of another namespace has the
        # namespace's name after its path.
        self.exe = " ".join(cells[8:])
        self.path = self.exe.split(" (")[0]


def packets(path, local4, local6):
    """(time_ns, family, protocol, place, ip_length) of every packet from or to
    a local address. The place is the local port for TCP, UDP and SCTP (a later
    fragment takes its first's), the echo identifier for ICMP echo requests
    sent and replies received (None for other ICMP: the kernel's), the local
    address for every other protocol."""
    if not os.path.exists(path):  # a scenario skipped before its capture
        return
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        return
    magic = struct.unpack("<I", data[:4])[0]
    endian = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    nano = magic in (0xA1B23C4D, 0x4D3CB2A1)
    link = struct.unpack(endian + "I", data[20:24])[0]
    header = {1: 14, 113: 16}.get(link)
    if header is None:
        sys.exit(f"attr_report: {path}: link type {link} is not decoded")
    first_ports = {}   # (src, dst, id, protocol) -> ports of the first fragment
    waiting = defaultdict(list)  # later fragments seen before their first
    at = 24
    while at + 16 <= len(data):
        seconds, fraction, captured, _ = struct.unpack(endian + "IIII", data[at:at + 16])
        frame = data[at + 16:at + 16 + captured]
        at += 16 + captured
        if len(frame) < captured:
            break
        time_ns = seconds * 1_000_000_000 + (fraction if nano else fraction * 1000)
        ethertype = struct.unpack(">H", frame[header - 2:header])[0]
        ip = frame[header:]
        if ethertype == 0x0800 and len(ip) >= 20:
            ihl = (ip[0] & 0x0F) * 4
            length, ident, fragment = struct.unpack(">HHH", ip[2:8])
            protocol, src, dst = ip[9], ip[12:16], ip[16:20]
            family, offset, more = 4, fragment & 0x1FFF, fragment & 0x2000
            key = (src, dst, ident, protocol)
            transport = ip[ihl:]
            local = src == local4, dst == local4
        elif ethertype == 0x86DD and len(ip) >= 40:
            length = 40 + struct.unpack(">H", ip[4:6])[0]
            protocol, src, dst = ip[6], ip[8:24], ip[24:40]
            family, offset, more, key = 6, 0, 0, None
            transport = ip[40:]
            while protocol in (0, 43, 44, 60) and len(transport) >= 8:
                if protocol == 44:
                    fragment = struct.unpack(">H", transport[2:4])[0]
                    offset, more = fragment >> 3, fragment & 1
                    key = (src, dst, transport[4:8], transport[0])
                    protocol, transport = transport[0], transport[8:]
                else:
                    protocol, transport = transport[0], transport[(transport[1] + 1) * 8:]
            local = src in local6, dst in local6
        else:
            continue
        if not any(local):
            continue
        sent = local[0]
        if protocol in ECHO:
            request, reply = ECHO[protocol]
            mine = len(transport) >= 8 and not offset and transport[0] == (request if sent else reply)
            yield time_ns, family, protocol, struct.unpack(">H", transport[4:6])[0] if mine else None, length
            continue
        if protocol not in (6, 17, 132):
            yield time_ns, family, protocol, src if sent else dst, length
            continue
        if offset:
            ports = first_ports.get(key)
            if ports is None:
                waiting[key].append((time_ns, family, protocol, sent, length))
                continue
        else:
            if len(transport) < 4:
                continue
            ports = struct.unpack(">HH", transport[:4])
            if more:
                first_ports[key] = ports
        yield time_ns, family, protocol, ports[0] if sent else ports[1], length
        for w_time, w_family, w_protocol, w_sent, w_length in waiting.pop(key, []) if key else []:
            yield w_time, w_family, w_protocol, ports[0] if w_sent else ports[1], w_length


class Scenario:
    def __init__(self, folder, name, local4, local6):
        self.name = name
        self.holds = [Hold(line.split()) for line in read_lines(os.path.join(folder, "holds.txt"))
                      if line.startswith("hold ")]
        self.skipped = next((line.split(" ", 1)[1] for line in read_lines(os.path.join(folder, "holds.txt"))
                             if line.startswith("skipped ")), None)
        by_key = defaultdict(list)
        for hold in self.holds:
            for family in hold.families:
                by_key[(hold.protocol, family, hold.place)].append(hold)
        for holders in by_key.values():
            holders.sort(key=lambda h: h.start)
        untagged = {(p, f) for p, f, _ in by_key if p not in TAGGED.values()}
        any_address = {4: bytes(4), 6: bytes(16)}
        # Truth: IP bytes per (program, protocol, family, place); frame bytes per program.
        self.truth = defaultdict(int)
        self.truth_frames = defaultdict(int)
        self.kernel = defaultdict(int)  # (OTHER, family, 0) -> bytes of the scenario's untagged protocols no program owns
        self.shortest = {}  # key -> shortest life among the programs that owned bytes there
        for time_ns, family, protocol, place, length in packets(os.path.join(folder, "truth.pcap"), local4, local6):
            holders = by_key.get((protocol, family, place))
            if not holders and isinstance(place, bytes):
                holders = by_key.get((protocol, family, any_address[family]))
            if not holders:
                if (protocol, family) in untagged:
                    self.kernel[(OTHER, family, 0)] += length
                continue
            owner = holders[0]
            for hold in holders:
                if hold.start <= time_ns:
                    owner = hold
            key = (owner.exe, protocol, family, place)
            self.truth[key] += length
            self.truth_frames[owner.exe] += length + ETHERNET_HEADER
            self.shortest[key] = min(self.shortest.get(key, owner.life), owner.life)
        self.sondrel = {mode: self.read_sondrel(os.path.join(folder, f"{mode}.out")) for mode in ("ebpf", "proc")}
        # nethogs names a row by program and process id; its program text may
        # lack the front of the path. A row counts for the program whose hold
        # line has that process id and a path ending in that text (a shell
        # seen before its exec does not).
        hold_of_pid = {hold.pid: hold for hold in self.holds}
        self.nethogs = defaultdict(int)
        for (program, pid), value in parse_nethogs(read_lines(os.path.join(folder, "nethogs.out"))).items():
            hold = hold_of_pid.get(pid)
            if hold and program and hold.path.endswith(program):
                self.nethogs[hold.exe] += value
        costs = dict(line.split(maxsplit=1) for line in read_lines(os.path.join(folder, "costs.txt")) if " " in line)
        self.tcpdump_drops = costs.get("tcpdump_drops", "?")

    @staticmethod
    def read_sondrel(path):
        counted = defaultdict(int)
        for line in read_lines(path):
            cells = line.split("\t")
            if cells[0] == "endpoint" and len(cells) == 7:
                protocol = TAGGED.get(cells[2], OTHER)
                port = int(cells[1]) if protocol != OTHER else 0
                counted[(cells[6], protocol, int(cells[3]), port)] += int(cells[4]) + int(cells[5])
        return counted

    def owned(self, long_lived=False):
        """The truth as Sondrel can show it: bytes per shown key."""
        shown = defaultdict(int)
        for key, value in self.truth.items():
            if not long_lived or self.shortest[key] >= LONG_LIVED_NS:
                shown[shown_key(key)] += value
        return shown

    def share(self, mode, long_lived=False):
        owned = self.owned(long_lived)
        right = sum(min(value, self.sondrel[mode].get(key, 0)) for key, value in owned.items())
        return right, sum(owned.values())

    def nethogs_share(self):
        owned = sum(self.truth_frames.values())
        right = sum(min(v, self.nethogs.get(program, 0)) for program, v in self.truth_frames.items())
        return right, owned

    def misplaced(self, mode):
        """Bytes of the scenario's ports that Sondrel put under another label
        than the right one, by label, and bytes it did not count at all. The
        kernel's own bytes of an untagged protocol are right under a protocol's
        label."""
        owned = self.owned()
        places = {k[1:] for k in owned}
        kernel_left = dict(self.kernel)
        wrong = defaultdict(int)
        counted_total = 0
        for key, value in self.sondrel[mode].items():
            if key[1:] not in places:
                continue
            counted_total += value
            excess = value - owned.get(key, 0)
            if excess > 0 and "/" not in key[0] and key[1:] in kernel_left:
                taken = min(excess, kernel_left[key[1:]])
                kernel_left[key[1:]] -= taken
                excess -= taken
            if excess > 0:
                wrong[shown_label(key[0])] += excess
        kernel = sum(self.kernel.values()) - sum(kernel_left.values())
        return wrong, max(0, sum(owned.values()) + kernel - counted_total)


def shown_key(key):
    """A key of the truth as Sondrel's endpoint rows can tell it: protocols
    other than TCP and UDP by (program, family) alone."""
    exe, protocol, family, place = key
    return key if protocol in TAGGED.values() else (exe, OTHER, family, 0)


def shown_label(label):
    """A path by its file name; a label without a path that is no protocol
    label is a process's short name (its executable link was gone)."""
    if "/" in label:
        return os.path.basename(label)
    return label if "protocol" in label else f"{label} (short name)"


def percent(part_whole):
    part, whole = part_whole
    return f"{100.0 * part / whole:.1f} %" if whole else "-"


def scenario_table(scenarios):
    print("| scenario | programs | lifetimes, ms | owned, IP bytes | Sondrel, eBPF | Sondrel, /proc only "
          "| /proc only, programs living >= 100 ms | nethogs | tcpdump drops |")
    print("|---|---:|---|---:|---:|---:|---:|---:|---:|")
    for s in scenarios:
        if s.skipped:
            print(f"| {s.name} | SKIPPED: {s.skipped} | | | | | | | |")
            continue
        senders = [h for h in s.holds if any(k[0] == h.exe and k[3] == h.place for k in s.truth)]
        lives = sorted(h.life / 1e6 for h in senders) or [0]
        long_lived = s.share("proc", long_lived=True)
        nethogs = percent(s.nethogs_share())
        if s.name in NETHOGS_CANNOT_TELL:
            nethogs += f" ({NETHOGS_CANNOT_TELL[s.name]})"
        print(f"| {s.name} | {len(senders)} | {lives[0]:.1f}-{lives[-1]:.1f} | {sum(s.truth.values()):,} "
              f"| {percent(s.share('ebpf'))} | {percent(s.share('proc'))} "
              f"| {percent(long_lived) if long_lived[1] else 'none'} | {nethogs} | {s.tcpdump_drops} |")


def misplaced_notes(scenarios):
    for s in scenarios:
        notes = []
        for mode, title in (("ebpf", "eBPF"), ("proc", "/proc only")):
            wrong, missing = s.misplaced(mode)
            if wrong or missing:
                parts = [f"{value:,} under {label}" for label, value in sorted(wrong.items(), key=lambda i: -i[1])]
                if missing:
                    parts.append(f"{missing:,} not counted")
                notes.append(f"{title}: " + ", ".join(parts))
        if notes:
            print(f"- {s.name}: " + "; ".join(notes))


def idle_table(work):
    lines = [line.split() for line in read_lines(os.path.join(work, "idle", "idle.txt"))]
    if not lines:
        return
    print("\n### Idle CPU\n")
    names = {"ebpf": "Sondrel, eBPF (monitor + helper)", "proc": "Sondrel, /proc only (monitor + helper)",
             "nethogs": "nethogs"}
    print("| tool | seconds | processes on the machine | CPU s | % of a core | monitor, % | capture helper, % |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for _, name, seconds, per_second, processes, *ticks in lines:
        share = [100 * int(t) / int(per_second) / int(seconds) for t in ticks]
        cpu = sum(int(t) for t in ticks) / int(per_second)
        split = f"{share[0]:.2f} | {share[1]:.2f}" if len(share) == 2 else "- | -"
        print(f"| {names.get(name, name)} | {seconds} | {processes} | {cpu:.2f} | {100 * cpu / int(seconds):.2f} "
              f"| {split} |")


def compare_table(work):
    rows = []
    for owners in ("ebpf", "proc"):
        raw = os.path.join(work, f"compare-{owners}", "compare-raw")
        for name in ("tcp-10000", "tcp-50000", "tcp-100000"):
            if os.path.isdir(os.path.join(raw, name)):
                rows.append(load_case(os.path.join(raw, name), name))
    if not rows:
        return
    print("\n### Side by side, TCP cases (CPU from the start of the load to the reading)\n")
    print("| case | Sondrel owners | Sondrel, % of a core | nethogs, % of a core | Sondrel/nethogs | Sondrel counted/sent "
          "| machine busy |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for case in rows:
        window = float(case.costs["window"][0])
        _, s_window, _ = tool_cost(case, "sondrel")
        _, n_window, _ = tool_cost(case, "nethogs")
        busy0, idle0, busy1, idle1 = (int(v) for v in case.costs["machine"])
        busy = (busy1 - busy0) / max(1, (busy1 - busy0) + (idle1 - idle0))
        sent = sum(s.ip_bytes for s in case.senders)
        counted = sum(s.sondrel for s in case.senders)
        print(f"| {case.name} | {case.costs.get('mode', ['?'])[0]} | {100 * s_window / window:.1f} "
              f"| {100 * n_window / window:.1f} | {percent((s_window, n_window))} | {percent((counted, sent))} "
              f"| {100 * busy:.0f} % |")


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: attr_report.py WORK_FOLDER LOCAL_IPV4 LOCAL_IPV6")
    work = sys.argv[1]
    local4 = ipaddress.IPv4Address(sys.argv[2]).packed
    local6 = {ipaddress.IPv6Address(sys.argv[3]).packed}
    scenarios = [Scenario(os.path.join(work, name), name, local4, local6) for name in SCENARIOS
                 if os.path.isdir(os.path.join(work, name))]
    print("### Share of bytes under the right program\n")
    scenario_table(scenarios)
    print()
    for s in scenarios:
        print(f"- {s.name}: {SCENARIOS[s.name]}")
    print("\nWhere the rest went (Sondrel):\n")
    misplaced_notes(scenarios)
    idle_table(work)
    compare_table(work)


if __name__ == "__main__":
    main()
