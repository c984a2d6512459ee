// The end-to-end check of loopback, run inside the test's own network namespace
// by run_loopback_e2e.sh: a Monitor captures with the address 127.0.0.1, so
// on `lo`, where ::1 counts as local too. Real programs trade over 127.0.0.1
// and ::1 with servers of the same namespace, and tcpdump on `lo` records what
// crossed it. Both ends of every packet are this machine's: each program must
// be credited, on its own port, with what it sent as upload and what it
// received as download, once each, byte for byte as tcpdump saw it.
#include <arpa/inet.h>
#include <signal.h>

#include <cstdio>
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

const std::string kLoopback = "127.0.0.1";
const std::string kLoopback6 = "::1";
const std::vector<std::size_t> kUdpPayloads = {0, 1, 100, 1000, 1472};
constexpr std::size_t kWarmUpPayload = 10;
constexpr std::size_t kMarkerPayload = 33;

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    std::map<std::string, std::string> args = parseOptions(argc, argv);
    const std::string workFolder = args["workdir"];
    for (const char* name : {"udp-port", "tcp-port", "tcp6-port", "tcp-reply", "tcp6-reply", "udp-echo", "udp-exchange",
                             "tcp-server", "tcp-client"}) {
        if (args[name].empty() || workFolder.empty()) {
            return failWith("usage: e2e_loopback_probe --udp-port P --tcp-port P --tcp6-port P --tcp-reply N "
                            "--tcp6-reply N --udp-echo PATH --udp-exchange PATH --tcp-server PATH --tcp-client PATH "
                            "--workdir DIR");
        }
    }
    const std::uint32_t loopback = *parseAddress(kLoopback);
    Ipv6Address loopback6{};
    inet_pton(AF_INET6, kLoopback6.c_str(), loopback6.data());
    const auto udpEchoPort = static_cast<std::uint16_t>(std::stoul(args["udp-port"]));
    const auto tcpServerPort = static_cast<std::uint16_t>(std::stoul(args["tcp-port"]));
    const auto tcp6ServerPort = static_cast<std::uint16_t>(std::stoul(args["tcp6-port"]));
    // Downloads: the clients send nothing, the servers answer this much.
    const std::uint64_t tcpReplyBytes = std::stoull(args["tcp-reply"]);
    const std::uint64_t tcp6ReplyBytes = std::stoull(args["tcp6-reply"]);
    const std::u16string echoPath = programName(args["udp-echo"]);
    const std::u16string serverPath = programName(args["tcp-server"]);
    const std::string pcapPath = workFolder + "/truth.pcap";
    std::string error;

    auto tcpdump = startTcpdump("lo", pcapPath, error);
    if (!tcpdump) return failWith("tcpdump: " + error);

    LiveMonitor::Options options;
    options.localAddress = loopback;
    options.workFolder = workFolder;
    LiveMonitor live(options);
    if (live.monitor().localAddress() != loopback) return failWith("the monitor did not take the capture address", &live);

    // This program's own warm-up and marker go to a socket of its own, so no
    // port that is checked carries traffic sent before capture was live.
    auto marker = UdpSocket::bind(loopback, error);
    auto warmUp = UdpSocket::bind(loopback, error);
    auto sink = UdpSocket::bind(loopback, error);
    if (!marker || !warmUp || !sink) return failWith(error);
    if (!live.waitUntilLive(*warmUp, loopback, sink->port(), kWarmUpPayload, 20s)) {
        return failWith("capture never counted this program's own datagrams", &live);
    }
    // ::1 counts as local once the helper has reported the interface's IPv6 address.
    if (!live.tickUntil([&] { return live.monitor().captureStatus().ipv6AddressCount == 1; }, 5s)) {
        return failWith("::1 was never reported as local (" +
                            std::to_string(live.monitor().captureStatus().ipv6AddressCount) + " IPv6 addresses)",
                        &live);
    }
    const bool ebpf = live.monitor().captureStatus().mode == AttributionMode::Ebpf;
    std::printf("capture is live (warm-up port %u, %s)\n", warmUp->port(), ebpf ? "owners from eBPF" : "owners from /proc");

    auto clientCommand = [&](const std::string& address, std::uint16_t port, std::uint64_t replyBytes) {
        return std::vector<std::string>{args["tcp-client"], address, address, std::to_string(port), "0",
                                        std::to_string(replyBytes)};
    };
    auto tcpClient = ChildProcess::start(clientCommand(kLoopback, tcpServerPort, tcpReplyBytes),
                                         {.input = true, .output = true}, error);
    if (!tcpClient) return failWith("cannot start the TCP client: " + error);
    auto tcp6Client = ChildProcess::start(clientCommand(kLoopback6, tcp6ServerPort, tcp6ReplyBytes),
                                          {.input = true, .output = true}, error);
    if (!tcp6Client) return failWith("cannot start the IPv6 TCP client: " + error);
    std::vector<std::string> exchangeCommand = {args["udp-exchange"], kLoopback, std::to_string(udpEchoPort), kLoopback};
    for (const std::size_t size : kUdpPayloads) exchangeCommand.push_back(std::to_string(size));
    auto udpExchange = ChildProcess::start(exchangeCommand, {.input = true, .output = true}, error);
    if (!udpExchange) return failWith("cannot start the UDP exchange: " + error);
    const std::optional<std::uint16_t> tcpPort = announcedPort(*tcpClient);
    const std::optional<std::uint16_t> tcp6Port = announcedPort(*tcp6Client);
    const std::optional<std::uint16_t> udpPort = announcedPort(*udpExchange);
    if (!tcpPort || !tcp6Port || !udpPort) return failWith("a client did not announce its port");
    const std::u16string clientPath = utf8ToU16(tcpClient->executablePath());
    const std::u16string exchangePath = utf8ToU16(udpExchange->executablePath());
    // As in the other capture tests: with /proc passes alone, every socket of
    // either end is shown owned before the traffic.
    if (!ebpf && (!live.waitUntilOwned(*tcpPort, kTcp, clientPath, 10s) ||
                  !live.waitUntilOwned(*tcp6Port, kTcp, clientPath, 10s, kFamilyIpv6) ||
                  !live.waitUntilOwned(*udpPort, kUdp, exchangePath, 10s) ||
                  !live.waitUntilOwned(tcpServerPort, kTcp, serverPath, 10s) ||
                  !live.waitUntilOwned(tcp6ServerPort, kTcp, serverPath, 10s, kFamilyIpv6) ||
                  !live.waitUntilOwned(udpEchoPort, kUdp, echoPath, 10s))) {
        return failWith("owner discovery did not see the programs' sockets", &live);
    }

    for (ChildProcess* client : {&*tcpClient, &*tcp6Client, &*udpExchange}) client->writeLine("go");
    std::vector<ChildProcess*> clients = {&*tcpClient, &*tcp6Client, &*udpExchange};
    if (!live.waitForChildren(clients, 20s, error)) return failWith(error, &live);

    if (!live.countMarker(*marker, loopback, sink->port(), kMarkerPayload, 10s))
        return failWith("the marker datagram was never counted", &live);
    const std::vector<Ipv6Address> localIpv6 = {loopback6};
    PcapTotals truth;
    const bool markerFiled = live.tickUntil(
        [&] {
            truth = sumPcapFile(readFile(pcapPath), loopback, localIpv6);
            return truth.flow(marker->port(), kUdp, true).packets > 0;
        },
        10s);
    if (!markerFiled) return failWith("the marker never reached tcpdump's file: " + truth.problem);
    tcpdump->signal(SIGINT);
    tcpdump->wait();
    const std::string summary = tcpdump->drainErrors();
    truth = sumPcapFile(readFile(pcapPath), loopback, localIpv6);

    const std::uint64_t udpBytes = std::accumulate(kUdpPayloads.begin(), kUdpPayloads.end(), std::uint64_t{0},
                                                   [](std::uint64_t sum, std::size_t payload) { return sum + 28 + payload; });
    CheckTable table;
    table.add("tcpdump: packets dropped by kernel", 0, std::nullopt, kernelDrops(summary));
    table.add("tcpdump: packets neither from nor to a local address", 0, std::nullopt, truth.foreignPackets);
    checkApplication(table, live, truth,
                     {"TCP client", clientPath, kTcp, "TCP:",
                      {{"over 127.0.0.1", *tcpPort, tcpServerPort, kFamilyIpv4, kLoopback, std::nullopt, 0, tcpReplyBytes},
                       {"over ::1", *tcp6Port, tcp6ServerPort, kFamilyIpv6, kLoopback6, std::nullopt, 0, tcp6ReplyBytes}}});
    checkApplication(table, live, truth,
                     {"TCP server", serverPath, kTcp, "TCP:",
                      {{"over 127.0.0.1", tcpServerPort, *tcpPort, kFamilyIpv4, kLoopback, std::nullopt, tcpReplyBytes, 0},
                       {"over ::1", tcp6ServerPort, *tcp6Port, kFamilyIpv6, kLoopback6, std::nullopt, tcp6ReplyBytes, 0}}});
    checkApplication(table, live, truth,
                     {"UDP exchange", exchangePath, kUdp, "UDP:",
                      {{"over 127.0.0.1", *udpPort, udpEchoPort, kFamilyIpv4, kLoopback, udpBytes}}});
    checkApplication(table, live, truth,
                     {"UDP echo", echoPath, kUdp, "UDP:",
                      {{"over 127.0.0.1", udpEchoPort, *udpPort, kFamilyIpv4, kLoopback, udpBytes}}});
    table.print();
    std::printf("capture file: %llu frames; TCP clients on ports %u and %u, UDP exchange on port %u\n",
                static_cast<unsigned long long>(truth.records), *tcpPort, *tcp6Port, *udpPort);
    if (!table.allOk()) return failWith("counted loopback traffic differs from what crossed lo", &live);
    std::printf("PASS\n");
    return 0;
}
