// The end-to-end check of the protocols without a TCP or UDP socket of their
// own to credit, run inside namespace A by run_protocols_e2e.sh while a
// tcpdump records A's veth to B:
//  - echo requests from a ping socket of A go under the pinging program,
//    while A's kernel answering B's pings stays under "ICMP protocol";
//  - an SCTP association from A to B goes under its program by port, when
//    the kernel has SCTP;
//  - a program in namespace C, masqueraded out of A's veth under the very
//    port a program of A holds, goes under "<its path> (<C's name>)" and
//    nothing of it under A's program (with owners from eBPF only).
// Each part that cannot run says why and is left out; the run is skipped
// (77) only when none could.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "base/owner_claim.h"
#include "base/text.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/monitor_harness.h"
#include "tests/e2e/pcap_totals.h"
#include "tests/e2e/probe_checks.h"

using namespace sondrel;
using namespace sondrel::e2e;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kWarmUpPayload = 10;
constexpr std::size_t kMarkerPayload = 33;
constexpr int kPingCount = 50;
constexpr std::size_t kPingData = 56;
// B's requests are of another size, so that tcpdump's ICMP total tells
// whether it saw both exchanges whole.
constexpr int kRemotePingCount = 20;
constexpr std::size_t kRemotePingData = 100;
constexpr long kSctpBytes = 200000;
const std::vector<std::size_t> kNatPayloads = {0, 100, 500, 1000, 1400};
// What the small programs exit with when the kernel lacks what they need.
constexpr int kUnsupported = 3;

std::uint64_t icmpBytes(int count, std::size_t data) { return std::uint64_t(count) * (28 + data); }

std::optional<ChildProcess> startChild(const std::vector<std::string>& argv, std::string& error) {
    return ChildProcess::start(argv, {.input = true, .output = true, .errors = true}, error);
}

// Why a child that announced nothing ended: the kernel's refusal, or a failure.
std::string whyEnded(ChildProcess& child, bool& unsupported) {
    const int status = child.wait();
    unsupported = WIFEXITED(status) && WEXITSTATUS(status) == kUnsupported;
    return child.name() + ": " + child.drainErrors();
}

bool kernelHasSctp(std::string& reason) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_SCTP);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    if (errno != EPROTONOSUPPORT && errno != ESOCKTNOSUPPORT) return true;  // let the programs report it
    reason = std::string("the kernel has no SCTP (socket: ") + std::strerror(errno) + ")";
    return false;
}

std::uint64_t bytesOf(const std::optional<AppRecord>& app) { return app ? app->ulBytes + app->dlBytes : 0; }

void skipped(const char* part, const std::string& reason) { std::printf("SKIPPED %s: %s\n", part, reason.c_str()); }

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    std::map<std::string, std::string> args = parseOptions(argc, argv);
    for (const char* name : {"veth", "local", "remote", "ns-b", "ns-c", "local-c", "echo-port", "sctp-port", "ping",
                             "sctp", "udp-flow", "udp-sink", "workdir"}) {
        if (args[name].empty()) {
            return failWith(
                "usage: e2e_protocols_probe --veth IF --local A --remote B --ns-b NS --ns-c NS --local-c C "
                "--echo-port P --sctp-port P --ping PATH --sctp PATH --udp-flow PATH --udp-sink PATH "
                "--workdir DIR");
        }
    }
    const std::optional<std::uint32_t> local = parseAddress(args["local"]);
    const std::optional<std::uint32_t> remote = parseAddress(args["remote"]);
    if (!local || !remote) return failWith("not an IPv4 address: " + args["local"] + " or " + args["remote"]);
    const auto echoPort = static_cast<std::uint16_t>(std::stoul(args["echo-port"]));
    const std::string pcapPath = args["workdir"] + "/" + args["veth"] + ".pcap";
    std::string error;

    auto tcpdump = startTcpdump(args["veth"], pcapPath, error);
    if (!tcpdump) return failWith("tcpdump on " + args["veth"] + ": " + error);
    LiveMonitor::Options options;
    options.localAddress = *local;
    options.workFolder = args["workdir"];
    LiveMonitor live(options);
    auto marker = UdpSocket::bind(*local, error);
    auto warmUp = UdpSocket::bind(*local, error);
    if (!marker || !warmUp) return failWith(error);
    if (!live.waitUntilLive(*warmUp, *remote, echoPort, kWarmUpPayload, 20s))
        return failWith("capture never counted this program's own datagrams", &live);
    const bool ebpf = live.monitor().captureStatus().mode == AttributionMode::Ebpf;
    std::printf("capture is live on %s (%s)\n", args["veth"].c_str(), ebpf ? "owners from eBPF" : "owners from /proc");

    // Every part starts its programs and has them announce themselves before
    // any of them sends: with /proc passes alone their sockets must be seen
    // owned first.
    // A deque: the pointers handed out stay valid as more programs start.
    std::deque<ChildProcess> children;
    auto launch = [&](const std::vector<std::string>& argv) -> ChildProcess* {
        auto child = startChild(argv, error);
        if (!child) return nullptr;
        children.push_back(std::move(*child));
        return &children.back();
    };

    const std::u16string pingPath = programName(args["ping"]);
    bool pingRuns = false;
    std::optional<std::uint16_t> pingId;
    ChildProcess* pinger =
        launch({args["ping"], args["local"], args["remote"], std::to_string(kPingCount), std::to_string(kPingData)});
    ChildProcess* remotePinger =
        launch({"ip", "netns", "exec", args["ns-b"], args["ping"], args["remote"], args["local"],
                std::to_string(kRemotePingCount), std::to_string(kRemotePingData)});
    if (!pinger || !remotePinger) return failWith("cannot start the ping programs: " + error);
    pingId = announcedPort(*pinger);
    const std::optional<std::uint16_t> remotePingId = announcedPort(*remotePinger);
    if (!pingId || !remotePingId) {
        bool unsupported = false;
        const std::string why = whyEnded(pingId ? *remotePinger : *pinger, unsupported);
        if (!unsupported) return failWith("a ping program did not start: " + why);
        skipped("ping sockets", why);
    } else {
        pingRuns = ebpf || live.waitUntilOwned(*pingId, kProtocolIcmp, pingPath, 10s);
        if (!pingRuns) return failWith("owner discovery did not see the ping socket", &live);
    }

    const std::u16string sctpPath = programName(args["sctp"]);
    std::optional<std::uint16_t> sctpPort;
    ChildProcess* sctpClient = nullptr;
    std::string noSctp;
    if (kernelHasSctp(noSctp)) {
        ChildProcess* server =
            launch({"ip", "netns", "exec", args["ns-b"], args["sctp"], "server", args["remote"], args["sctp-port"]});
        if (!server || server->readLine(5s) != "ready") return failWith("the SCTP server did not start: " + error);
        sctpClient = launch(
            {args["sctp"], "client", args["local"], args["remote"], args["sctp-port"], std::to_string(kSctpBytes)});
        if (!sctpClient) return failWith("cannot start the SCTP client: " + error);
        sctpPort = announcedPort(*sctpClient);
        if (!sctpPort) return failWith("the SCTP client did not start: " + sctpClient->drainErrors());
        if (!ebpf && !live.waitUntilOwned(*sctpPort, kProtocolSctp, sctpPath, 10s))
            return failWith("owner discovery did not see the SCTP socket", &live);
    } else {
        skipped("SCTP", noSctp);
    }

    // C's sender first, for its port; then A's own program takes the same
    // number, which the masquerade then keeps for C's flow on A's veth.
    const std::u16string natName = programName(args["udp-flow"]) + u" (" + utf8ToU16(args["ns-c"]) + u")";
    const std::u16string holderPath = programName(args["udp-sink"]);
    std::optional<std::uint16_t> natPort;
    ChildProcess* natSender = nullptr;
    if (ebpf) {
        std::vector<std::string> command = {
            "ip", "netns", "exec", args["ns-c"], args["udp-flow"], args["local-c"], args["remote"], args["echo-port"]};
        for (const std::size_t size : kNatPayloads) command.push_back(std::to_string(size));
        natSender = launch(command);
        if (!natSender) return failWith("cannot start the sender in C: " + error);
        natPort = announcedPort(*natSender);
        if (!natPort) return failWith("the sender in C did not start: " + natSender->drainErrors());
        ChildProcess* holder = launch({args["udp-sink"], "0.0.0.0", std::to_string(*natPort)});
        if (!holder || holder->readLine(5s) != "ready")
            return failWith("A's program on port " + std::to_string(*natPort) + " did not start: " + error);
    } else {
        skipped("NAT'd namespace", "owners come from /proc passes, not from eBPF");
    }
    if (!pingRuns && !sctpPort && !natPort) {
        std::printf("skipped: none of the parts can run here\n");
        return 77;
    }

    std::vector<ChildProcess*> senders;
    if (pingRuns) {
        senders.push_back(pinger);
        senders.push_back(remotePinger);
    }
    if (sctpPort) senders.push_back(sctpClient);
    for (ChildProcess* sender : senders) sender->writeLine("go");
    if (natSender) natSender->writeLine("go");
    if (!live.waitForChildren(senders, 20s, error)) return failWith(error, &live);

    // The echoes of C's datagrams come back after the sender is done; once
    // tcpdump has them all, the marker is sent behind them.
    PcapTotals truth;
    if (natSender) {
        if (!natSender->readLine(5s)) return failWith("the sender in C did not finish: " + natSender->drainErrors());
        const bool echoed = live.tickUntil(
            [&] {
                truth = sumPcapFile(readFile(pcapPath), *local);
                return truth.flow(*natPort, kUdp, false).packets >= kNatPayloads.size();
            },
            10s);
        if (!echoed) return failWith("the echoes of C's datagrams never crossed A's veth", &live);
    }
    if (!live.countMarker(*marker, *remote, echoPort, kMarkerPayload, 10s))
        return failWith("the marker datagram was never counted", &live);
    const bool filed = live.tickUntil(
        [&] {
            truth = sumPcapFile(readFile(pcapPath), *local);
            return truth.flow(marker->port(), kUdp, true).packets > 0;
        },
        10s);
    if (!filed) return failWith("the marker never reached tcpdump's file: " + truth.problem);
    tcpdump->signal(SIGINT);
    tcpdump->wait();
    const std::string summary = tcpdump->drainErrors();
    truth = sumPcapFile(readFile(pcapPath), *local);

    CheckTable table;
    table.add("tcpdump: packets dropped by kernel", 0, std::nullopt, kernelDrops(summary));
    table.add("tcpdump: packets neither from nor to " + args["local"], 0, std::nullopt, truth.foreignPackets);
    if (pingRuns) {
        const std::uint64_t own = icmpBytes(kPingCount, kPingData);
        const std::uint64_t answered = icmpBytes(kRemotePingCount, kRemotePingData);
        const std::optional<AppRecord> app = findApplication(live.records(), pingPath);
        const std::optional<AppRecord> protocol = findApplication(live.records(), u"ICMP protocol");
        table.add("ping program: listed as", u16ToUtf8(pingPath), "-", app ? u16ToUtf8(app->name) : "(none)");
        table.add("ping program: UL bytes (its requests)", own, std::nullopt,
                  app ? std::optional(app->ulBytes) : std::nullopt);
        table.add("ping program: DL bytes (their replies)", own, std::nullopt,
                  app ? std::optional(app->dlBytes) : std::nullopt);
        table.add("ICMP protocol: DL bytes (B's requests)", answered, std::nullopt,
                  protocol ? std::optional(protocol->dlBytes) : std::nullopt);
        table.add("ICMP protocol: UL bytes (A's kernel's replies)", answered, std::nullopt,
                  protocol ? std::optional(protocol->ulBytes) : std::nullopt);
        auto sum = [&](std::uint64_t AppRecord::*bytes) -> std::optional<std::uint64_t> {
            if (!app || !protocol) return std::nullopt;
            return (*app).*bytes + (*protocol).*bytes;
        };
        const auto file = [&](bool sent) {
            return truth.flow(0, kProtocolIcmp, sent).bytes + truth.flow(*pingId, kProtocolIcmp, sent).bytes;
        };
        table.add("ICMP: ping program and ICMP protocol UL", own + answered, file(true), sum(&AppRecord::ulBytes));
        table.add("ICMP: ping program and ICMP protocol DL", own + answered, file(false), sum(&AppRecord::dlBytes));
    }
    if (sctpPort) {
        const std::optional<AppRecord> app = findApplication(live.records(), sctpPath);
        const FlowTally ul = truth.flow(*sctpPort, kProtocolSctp, true);
        const FlowTally dl = truth.flow(*sctpPort, kProtocolSctp, false);
        table.add("SCTP: tcpdump UL > " + std::to_string(kSctpBytes), "yes", "-", ul.bytes > kSctpBytes ? "yes" : "no");
        table.add("SCTP client: listed as", u16ToUtf8(sctpPath), "-", app ? u16ToUtf8(app->name) : "(none)");
        table.add("SCTP client: UL bytes", ul.bytes, ul.bytes, app ? std::optional(app->ulBytes) : std::nullopt);
        table.add("SCTP client: DL bytes", dl.bytes, dl.bytes, app ? std::optional(app->dlBytes) : std::nullopt);
    }
    if (natPort) {
        const std::uint64_t sent =
            std::accumulate(kNatPayloads.begin(), kNatPayloads.end(), std::uint64_t{0},
                            [](std::uint64_t sum, std::size_t payload) { return sum + 28 + payload; });
        const FlowTally ul = truth.flow(*natPort, kUdp, true);
        const FlowTally dl = truth.flow(*natPort, kUdp, false);
        const std::optional<AppRecord> app = findApplication(live.records(), natName);
        const std::string port = std::to_string(*natPort);
        table.add("C's flow on A's veth: datagrams from port " + port, kNatPayloads.size(), std::nullopt, ul.packets);
        table.add("C's sender: listed as", u16ToUtf8(natName), "-", app ? u16ToUtf8(app->name) : "(none)");
        table.add("C's sender: UL bytes", sent, ul.bytes, app ? std::optional(app->ulBytes) : std::nullopt);
        table.add("C's sender: DL bytes", sent, dl.bytes, app ? std::optional(app->dlBytes) : std::nullopt);
        table.add("A's program on port " + port + ": bytes", 0, std::nullopt,
                  bytesOf(findApplication(live.records(), holderPath)));
        table.add("C's sender without its namespace: bytes", 0, std::nullopt,
                  bytesOf(findApplication(live.records(), programName(args["udp-flow"]))));
    }
    if (natSender) natSender->closeInput();

    table.print();
    if (!table.allOk()) return failWith("counted traffic differs from what crossed A's veth", &live);
    std::printf("PASS\n");
    return 0;
}
