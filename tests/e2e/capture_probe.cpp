// The end-to-end check of the capture path, run inside the test's own network
// namespace by run_capture_e2e.sh: a Monitor captures on the namespace's veth
// address while real programs send known traffic to the peer namespace, and
// tcpdump on the same interface records what really crossed it. The
// application and endpoint records must match both, byte for byte.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/monitor_harness.h"
#include "tests/e2e/pcap_totals.h"
#include "tests/e2e/probe_checks.h"

using namespace sondrel;
using namespace sondrel::e2e;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t kIcmp = 1;
// Payloads from empty to the largest that fits one 1500-byte frame unfragmented.
const std::vector<std::size_t> kUdpPayloads = {0, 1, 18, 64, 100, 512, 1000, 1472, 1472, 7};
constexpr int kPings = 3;
constexpr std::uint16_t kPingIdentifier = 23130;  // given to ping, so its port is known
constexpr std::uint64_t kPingPacketBytes = 84;  // 20 IP + 8 ICMP + 56 data
constexpr std::size_t kWarmUpPayload = 10;
constexpr std::size_t kMarkerPayload = 33;

struct Arguments {
    std::map<std::string, std::string> values;
    std::string text(const std::string& name) const {
        const auto found = values.find(name);
        return found == values.end() ? std::string() : found->second;
    }
    std::uint16_t port(const std::string& name) const { return static_cast<std::uint16_t>(std::stoul(text(name))); }
};

Arguments parseArguments(int argc, char** argv) {
    Arguments arguments;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name.rfind("--", 0) == 0) arguments.values[name.substr(2)] = argv[i + 1];
    }
    return arguments;
}

struct ExpectedApp {
    std::string label;        // for the table
    std::u16string name;      // the record's name
    std::uint16_t localPort;  // 0 for ICMP
    std::uint16_t remotePort;
    std::uint16_t protocol;
    std::string protocolTag;
    std::optional<std::uint64_t> knownUl;  // from what the sender sent, where it is known in advance
    std::optional<std::uint64_t> knownDl;
    // Where the totals are not known in advance (TCP adds headers, ACKs and
    // the handshake), tcpdump's figures must at least carry the payload.
    std::uint64_t payloadUl = 0;
    std::uint64_t payloadDl = 0;
};

void checkApplication(CheckTable& table, LiveMonitor& live, const PcapTotals& truth, const ExpectedApp& expected,
                      const std::string& remoteText) {
    const FlowTally fileUl = truth.flow(expected.localPort, expected.protocol, true);
    const FlowTally fileDl = truth.flow(expected.localPort, expected.protocol, false);
    const std::uint64_t wantUl = expected.knownUl.value_or(fileUl.bytes);
    const std::uint64_t wantDl = expected.knownDl.value_or(fileDl.bytes);
    const std::optional<AppRecord> app = findApplication(live.records(), expected.name);
    const std::string& who = expected.label;

    table.add(who + ": listed as", u16ToUtf8(expected.name), "-", app ? u16ToUtf8(app->name) : "(none)");
    if (!expected.knownUl) {
        table.add(who + ": tcpdump UL > payload " + std::to_string(expected.payloadUl), "yes", "-",
                  fileUl.bytes > expected.payloadUl ? "yes" : "no");
    }
    if (!expected.knownDl) {
        table.add(who + ": tcpdump DL > payload " + std::to_string(expected.payloadDl), "yes", "-",
                  fileDl.bytes > expected.payloadDl ? "yes" : "no");
    }
    table.add(who + ": UL bytes", wantUl, fileUl.bytes, app ? std::optional(app->ulBytes) : std::nullopt);
    table.add(who + ": DL bytes", wantDl, fileDl.bytes, app ? std::optional(app->dlBytes) : std::nullopt);
    if (!app) return;
    table.add(who + ": last remote host", remoteText, "-", u16ToUtf8(app->lastRemoteHost));
    table.add(who + ": endpoint rows", 1, std::nullopt, app->endpoints.size());
    if (app->endpoints.size() != 1) return;
    const EndpointRecord& endpoint = app->endpoints.front();
    table.add(who + ": endpoint local port", expected.localPort, std::nullopt, endpoint.localPort);
    table.add(who + ": endpoint remote port", expected.remotePort, std::nullopt, endpoint.remotePort);
    table.add(who + ": endpoint protocol tag", expected.protocolTag, "-", u16ToUtf8(endpoint.protocolTag));
    table.add(who + ": endpoint remote IP", remoteText, "-", u16ToUtf8(endpoint.remoteIpText));
    table.add(who + ": endpoint UL bytes", wantUl, fileUl.bytes, endpoint.ulBytes);
    table.add(who + ": endpoint DL bytes", wantDl, fileDl.bytes, endpoint.dlBytes);

    const auto rows = detailTexts(live.monitor().lists(), expected.name);
    const bool ported = expected.protocolTag != "-";
    const std::string localCell = ported ? expected.protocolTag + std::to_string(expected.localPort) : "-";
    const std::string remoteCell = ported ? expected.protocolTag + std::to_string(expected.remotePort) : "-";
    table.add(who + ": Details \"Local port\"", localCell, "-", rows.size() == 1 ? rows[0][0] : "(no single row)");
    table.add(who + ": Details \"Remote IP\"", remoteText, "-", rows.size() == 1 ? rows[0][3] : "(no single row)");
    table.add(who + ": Details \"Remote port\"", remoteCell, "-", rows.size() == 1 ? rows[0][4] : "(no single row)");
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    const Arguments args = parseArguments(argc, argv);
    const std::optional<std::uint32_t> local = parseAddress(args.text("local"));
    const std::optional<std::uint32_t> remote = parseAddress(args.text("remote"));
    const std::string workFolder = args.text("workdir");
    if (!local || !remote || workFolder.empty() || args.text("interface").empty() || args.text("tcp-send").empty() ||
        args.text("tcp-reply").empty()) {
        return failWith("usage: e2e_capture_probe --local A --remote B --interface IF --udp-port P --tcp-port P "
                        "--tcp-send N --tcp-reply N --udp-sender PATH --tcp-client PATH --workdir DIR");
    }
    const std::string remoteText = args.text("remote");
    const std::uint16_t udpSinkPort = args.port("udp-port");
    const std::uint16_t tcpServerPort = args.port("tcp-port");
    // What the TCP client sends and what the server in the peer namespace answers.
    const std::uint64_t tcpSendBytes = std::stoull(args.text("tcp-send"));
    const std::uint64_t tcpReplyBytes = std::stoull(args.text("tcp-reply"));
    const std::string pcapPath = workFolder + "/truth.pcap";
    std::string error;

    // The independent record of the interface, running before anything is sent.
    auto tcpdump = startTcpdump(args.text("interface"), pcapPath, error);
    if (!tcpdump) return failWith("tcpdump: " + error);

    LiveMonitor::Options options;
    options.localAddress = *local;
    options.workFolder = workFolder;
    LiveMonitor live(options);
    if (live.monitor().localAddress() != *local) return failWith("the monitor did not take the capture address", &live);

    // Bound first, so the pass that shows the warm-up port owned shows this one too.
    auto marker = UdpSocket::bind(*local, error);
    auto warmUp = UdpSocket::bind(*local, error);
    if (!marker || !warmUp) return failWith(error);
    if (!live.waitUntilLive(*warmUp, *remote, udpSinkPort, kWarmUpPayload, 20s)) {
        return failWith("capture never counted this program's own datagrams", &live);
    }
    std::printf("capture is live (warm-up port %u)\n", warmUp->port());

    std::vector<std::string> udpCommand = {args.text("udp-sender"), args.text("local"), remoteText,
                                           std::to_string(udpSinkPort)};
    for (const std::size_t size : kUdpPayloads) udpCommand.push_back(std::to_string(size));
    auto udpSender = ChildProcess::start(udpCommand, {.input = true, .output = true}, error);
    if (!udpSender) return failWith("cannot start the UDP sender: " + error);
    auto tcpClient = ChildProcess::start({args.text("tcp-client"), args.text("local"), remoteText,
                                          std::to_string(tcpServerPort), std::to_string(tcpSendBytes),
                                          std::to_string(tcpReplyBytes)},
                                         {.input = true, .output = true}, error);
    if (!tcpClient) return failWith("cannot start the TCP client: " + error);
    const std::optional<std::uint16_t> udpPort = announcedPort(*udpSender);
    const std::optional<std::uint16_t> tcpPort = announcedPort(*tcpClient);
    if (!udpPort || !tcpPort) return failWith("a sender did not announce its port");
    const std::u16string udpPath = utf8ToU16(udpSender->executablePath());
    const std::u16string tcpPath = utf8ToU16(tcpClient->executablePath());
    // Owner events name a socket the moment it is first used; /proc passes
    // only see it some time later, and a sender that exits at once may be gone
    // by then: with passes alone, the sockets are shown owned before the traffic.
    if (live.monitor().captureStatus().mode != AttributionMode::Ebpf &&
        (!live.waitUntilOwned(*udpPort, kUdp, udpPath, 10s) || !live.waitUntilOwned(*tcpPort, kTcp, tcpPath, 10s))) {
        return failWith("owner discovery did not see the senders' sockets", &live);
    }

    udpSender->writeLine("go");
    tcpClient->writeLine("go");
    auto ping = ChildProcess::start({"ping", "-n", "-q", "-c", std::to_string(kPings), "-s", "56", "-i", "0.2", "-W", "2",
                                     "-e", std::to_string(kPingIdentifier), remoteText},
                                    {.output = true}, error);
    if (!ping) return failWith("cannot start ping: " + error);

    std::vector<ChildProcess*> senders = {&*udpSender, &*tcpClient, &*ping};
    if (!live.waitForChildren(senders, 20s, error)) return failWith(error, &live);

    // Capture keeps frame order, so once the marker is counted (and once it is
    // in tcpdump's file) everything sent before it is there too.
    if (!live.countMarker(*marker, *remote, udpSinkPort, kMarkerPayload, 10s))
        return failWith("the marker datagram was never counted", &live);

    PcapTotals truth;
    const bool markerFiled = live.tickUntil(
        [&] {
            truth = sumPcapFile(readFile(pcapPath), *local);
            return truth.flow(marker->port(), kUdp, true).packets > 0;
        },
        10s);
    if (!markerFiled) return failWith("the marker never reached tcpdump's file: " + truth.problem);
    tcpdump->signal(SIGINT);
    tcpdump->wait();
    const std::string summary = tcpdump->drainErrors();
    truth = sumPcapFile(readFile(pcapPath), *local);

    const std::uint64_t udpBytes = std::accumulate(kUdpPayloads.begin(), kUdpPayloads.end(), std::uint64_t{0},
                                                   [](std::uint64_t sum, std::size_t payload) { return sum + 28 + payload; });
    CheckTable table;
    table.add("tcpdump: packets dropped by kernel", 0, std::nullopt, kernelDrops(summary));
    checkApplication(table, live, truth,
                     {"UDP sender", udpPath, *udpPort, udpSinkPort, kUdp, "UDP:", udpBytes, std::uint64_t{0}}, remoteText);
    checkApplication(table, live, truth,
                     {"TCP client", tcpPath, *tcpPort, tcpServerPort, kTcp, "TCP:", std::nullopt, std::nullopt,
                      tcpSendBytes, tcpReplyBytes},
                     remoteText);
    const std::uint64_t pingBytes = kPings * kPingPacketBytes;
    // The echo's identifier stands for its port; its requests and their replies are the program's.
    checkApplication(table, live, truth,
                     {"ping", programInPath("ping"), kPingIdentifier, 0, kIcmp, "-", pingBytes, pingBytes}, remoteText);
    table.print();
    std::printf("capture file: %llu frames; UDP sender on port %u, TCP client on port %u\n",
                static_cast<unsigned long long>(truth.records), *udpPort, *tcpPort);
    if (!table.allOk()) return failWith("counted traffic differs from what was sent", &live);
    std::printf("PASS\n");
    return 0;
}
