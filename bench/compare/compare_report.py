#!/usr/bin/env python3
"""Tables of the side-by-side run, from the raw files run_compare.sh leaves in
one folder per case (load.out, sondrel.out, nethogs.out, truth.txt, costs.txt).

    compare_report.py WORK_FOLDER NETHOGS_VERSION      (Markdown on stdout)

Sondrel's cost is the monitor's and its capture helper's together. Sondrel
counts IPv4 total lengths; nethogs counts whole captured frames, the
14-byte Ethernet header included. Each is held against tcpdump's figure of the
same level: IP bytes for Sondrel, IP bytes + 14 per frame for nethogs.
"""
import os
import sys
from dataclasses import dataclass, field

ETHERNET_HEADER = 14
UNATTRIBUTED_SONDREL = ("UDP protocol", "TCP protocol")
UNATTRIBUTED_NETHOGS = ("unknown UDP", "unknown TCP")
CASE_ORDER = ("idle", "udp-10000", "udp-50000", "udp-100000", "tcp-10000", "tcp-50000", "tcp-100000", "burst", "burst-sendto")
SENDER_PROGRAMS = ("rate_paced_sender", "compare_tcp_writer", "compare_udp_sendto")
# The kernel's short name of a process (/proc/PID/comm) keeps 15 characters.
COMM_LENGTH = 15


@dataclass
class Sender:
    pid: int
    port: int
    protocol: int
    writes: int
    seconds: float
    ip_bytes: int = 0
    frames: int = 0
    sondrel: int = 0
    sondrel_short_name: int = 0  # part of `sondrel` filed under the short process name
    nethogs: int = 0

    @property
    def link_bytes(self):
        return self.ip_bytes + ETHERNET_HEADER * self.frames


@dataclass
class Case:
    name: str
    kind: str = ""
    rate: int = 0
    senders: list = field(default_factory=list)
    costs: dict = field(default_factory=dict)
    sondrel_unattributed: int = 0
    nethogs_unknown: int = 0
    link_type: int = 0
    tcpdump_drops: str = "?"
    shared_ports: int = 0  # senders that got a port an earlier sender of the case had


def read_lines(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def parse_nethogs(lines):
    """Largest figure of every row over all refreshes; the totals only grow,
    and a row that nethogs drops later keeps what it showed last.
    /usr/bin/prog/1234/0<TAB>318000<TAB>0   ->  {("/usr/bin/prog", 1234): 318000}"""
    totals = {}
    for line in lines:
        cells = line.split("\t")
        if len(cells) != 3:
            continue
        parts = cells[0].rsplit("/", 2)
        if len(parts) != 3:
            continue
        try:
            pid = int(parts[1])
            value = int(float(cells[1]) + float(cells[2]))
        except ValueError:
            continue
        key = (parts[0], pid)
        totals[key] = max(totals.get(key, 0), value)
    return totals


def load_case(folder, name):
    case = Case(name)
    by_port = {}
    by_pid = {}
    for line in read_lines(os.path.join(folder, "load.out")):
        cells = line.split("\t")
        if len(cells) != 6 or cells[0] != "process":
            continue
        pid, port, protocol = int(cells[1]), int(cells[2]), int(cells[3])
        # A port that a later short-lived sender got again: tcpdump and
        # Sondrel tell flows apart by port only, so the two count as one sender.
        sender = by_port.get((port, protocol))
        if sender:
            case.shared_ports += 1
        else:
            sender = Sender(pid, port, protocol, int(cells[4]), float(cells[5]))
            case.senders.append(sender)
            by_port[(port, protocol)] = sender
        by_pid[pid] = sender

    for line in read_lines(os.path.join(folder, "truth.txt")):
        cells = line.split("\t")
        if cells[0] == "flow" and len(cells) == 6:
            sender = by_port.get((int(cells[1]), int(cells[2])))
            if sender:
                sender.ip_bytes += int(cells[4])
                sender.frames += int(cells[5])
        elif cells[0] == "file" and len(cells) == 4:
            case.link_type = int(cells[3])

    for line in read_lines(os.path.join(folder, "sondrel.out")):
        cells = line.split("\t")
        if cells[0] == "app" and len(cells) == 4 and cells[3] in UNATTRIBUTED_SONDREL:
            case.sondrel_unattributed += int(cells[1]) + int(cells[2])
        elif cells[0] == "endpoint" and len(cells) == 7:
            protocol = {"UDP:": 17, "TCP:": 6}.get(cells[2], 0)
            sender = by_port.get((int(cells[1]), protocol))
            if not sender:
                continue
            bytes_counted = int(cells[4]) + int(cells[5])
            if os.path.basename(cells[6]) in SENDER_PROGRAMS:
                sender.sondrel += bytes_counted
            elif cells[6] in {program[:COMM_LENGTH] for program in SENDER_PROGRAMS}:
                sender.sondrel += bytes_counted
                sender.sondrel_short_name += bytes_counted

    nethogs = parse_nethogs(read_lines(os.path.join(folder, "nethogs.out")))
    for (program, pid), value in nethogs.items():
        if program in UNATTRIBUTED_NETHOGS:
            case.nethogs_unknown += value
        elif pid in by_pid:
            by_pid[pid].nethogs += value

    for line in read_lines(os.path.join(folder, "costs.txt")) + read_lines(os.path.join(folder, "baseline.txt")):
        cells = line.split()
        if not cells:
            continue
        if cells[0] == "case":
            case.kind, case.rate = cells[2], int(cells[3])
        elif cells[0] == "tcpdump_drops":
            case.tcpdump_drops = cells[1] if len(cells) > 1 else "?"
        else:
            case.costs[cells[0]] = cells[1:]
    return case


def ratio(part, whole):
    return f"{100.0 * part / whole:.1f} %" if whole else "-"


def mib(kilobytes):
    return f"{int(kilobytes) / 1024:.1f}"


def tool_cost(case, tool):
    """(CPU seconds before exit, CPU seconds in the window, VmHWM kB)."""
    ticks = float(case.costs["ticks"][0])
    before, _, after, peak = (int(v) for v in case.costs[tool])
    return after / ticks, (after - before) / ticks, int(peak)


def accuracy_table(cases):
    print("| case | senders | frames/s | sent, IP bytes | Sondrel counted | Sondrel/sent | Sondrel unattributed "
          "| lowest process | sent, frame bytes | nethogs counted | nethogs/sent | nethogs unknown | lowest process |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for case in cases:
        if case.kind == "idle":
            continue
        sent_ip = sum(s.ip_bytes for s in case.senders)
        sent_link = sum(s.link_bytes for s in case.senders)
        sondrel = sum(s.sondrel for s in case.senders)
        nethogs = sum(s.nethogs for s in case.senders)
        frames = sum(s.frames for s in case.senders)
        span = max((s.seconds for s in case.senders), default=0)
        if case.kind.startswith("burst"):
            span = len(case.senders) / 100.0 + 1.0
        lowest_sondrel = min((s.sondrel / s.ip_bytes for s in case.senders if s.ip_bytes), default=0)
        lowest_nethogs = min((s.nethogs / s.link_bytes for s in case.senders if s.link_bytes), default=0)
        print(f"| {case.name} | {len(case.senders) + case.shared_ports} | {frames / span if span else 0:,.0f} | {sent_ip:,} | {sondrel:,} "
              f"| {ratio(sondrel, sent_ip)} | {case.sondrel_unattributed:,} | {100 * lowest_sondrel:.1f} % "
              f"| {sent_link:,} | {nethogs:,} | {ratio(nethogs, sent_link)} | {case.nethogs_unknown:,} "
              f"| {100 * lowest_nethogs:.1f} % |")


def machine_busy(cells):
    """The busy share of the machine and its busy jiffies between two /proc/stat readings."""
    busy0, idle0, busy1, idle1 = (int(v) for v in cells)
    return (busy1 - busy0) / max(1, (busy1 - busy0) + (idle1 - idle0)), busy1 - busy0


def cost_table(cases):
    print("| case | Sondrel owners | Sondrel CPU s | nethogs CPU s | Sondrel/nethogs | Sondrel, % of a core "
          "| nethogs, % of a core | Sondrel/nethogs in the window | Sondrel VmHWM MiB | nethogs VmHWM MiB | tcpdump CPU s "
          "| machine busy | machine busy without Sondrel | Sondrel's machine cost, % of a core | load average "
          "| tcpdump drops |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|")
    for case in cases:
        window = float(case.costs["window"][0])
        s_total, s_window, s_peak = tool_cost(case, "sondrel")
        n_total, n_window, n_peak = tool_cost(case, "nethogs")
        t_total, _, _ = tool_cost(case, "tcpdump")
        busy, busy_jiffies = machine_busy(case.costs["machine"])
        off = "n/a"
        machine_cost = "n/a"
        if "machine_off" in case.costs:
            busy_off, busy_off_jiffies = machine_busy(case.costs["machine_off"])
            ticks = float(case.costs.get("ticks", ["100"])[0])
            off = f"{100 * busy_off:.0f} %"
            window_off = float(case.costs["window_off"][0])
            # The same traffic with and without: the busy time they differ by is Sondrel's, kernel side included.
            machine_cost = f"{100 * (busy_jiffies / window - busy_off_jiffies / window_off) / ticks:.1f}"
        print(f"| {case.name} | {case.costs.get('mode', ['?'])[0]} | {s_total:.2f} | {n_total:.2f} | {ratio(s_total, n_total)} "
              f"| {100 * s_window / window:.1f} | {100 * n_window / window:.1f} | {ratio(s_window, n_window)} "
              f"| {mib(s_peak)} | {mib(n_peak)} "
              f"| {t_total:.2f} | {100 * busy:.0f} % | {off} | {machine_cost} | {' '.join(case.costs['loadavg'])} "
              f"| {case.tcpdump_drops} |")


def process_table(cases):
    print("| case | pid | local port | sent, IP bytes | Sondrel | Sondrel/sent | sent, frame bytes | nethogs "
          "| nethogs/sent |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for case in cases:
        if case.kind.startswith("burst"):
            continue
        for s in case.senders:
            print(f"| {case.name} | {s.pid} | {s.port} | {s.ip_bytes:,} | {s.sondrel:,} | {ratio(s.sondrel, s.ip_bytes)} "
                  f"| {s.link_bytes:,} | {s.nethogs:,} | {ratio(s.nethogs, s.link_bytes)} |")


def burst_summary(cases):
    for case in cases:
        if not case.kind.startswith("burst"):
            continue
        total = len(case.senders) + case.shared_ports
        ports = len(case.senders)

        def tally(counted, sent):
            exact = sum(1 for s in case.senders if counted(s) == sent(s))
            none = sum(1 for s in case.senders if counted(s) == 0)
            return exact, none

        s_exact, s_none = tally(lambda s: s.sondrel, lambda s: s.ip_bytes)
        n_exact, n_none = tally(lambda s: s.nethogs, lambda s: s.link_bytes)
        short = sum(s.sondrel_short_name for s in case.senders)
        print(f"{case.name}: {total} processes on {ports} distinct ports (a port counts as one sender). Sondrel: {s_exact} counted exactly, "
              f"{s_none} not at all, {short:,} bytes filed under the short process name. "
              f"nethogs: {n_exact} counted exactly, {n_none} not at all.\n")


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: compare_report.py WORK_FOLDER NETHOGS_VERSION")
    folder, version = sys.argv[1], sys.argv[2]
    cases = [load_case(os.path.join(folder, name), name) for name in CASE_ORDER
             if os.path.isdir(os.path.join(folder, name))]
    link_types = {c.link_type for c in cases}
    captures = {c.costs.get("capture", ["?"])[0] for c in cases}
    print(f"nethogs {version}; both tools capture {', '.join(sorted(captures))}; tcpdump link type(s) {sorted(link_types)}; "
          f"Sondrel held against IP bytes, nethogs against IP bytes + {ETHERNET_HEADER} per frame.\n")
    print("### Bytes\n")
    accuracy_table(cases)
    print()
    burst_summary(cases)
    print("\n### Cost\n")
    cost_table(cases)
    print("\n### Per process\n")
    process_table(cases)


if __name__ == "__main__":
    main()
