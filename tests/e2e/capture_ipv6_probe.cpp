// The end-to-end check of IPv6, run inside the test's own network namespace by
// run_capture_ipv6_e2e.sh: the Monitor captures on the namespace's IPv4
// address, and the unique-local IPv6 address of the same interface counts as
// local. TCP, UDP and ICMPv6 cross the veth pair in both directions, and a
// dual-stack socket sends over IPv4 and IPv6 alike; tcpdump on the same
// interface records what really crossed it. Every application and endpoint
// must match it byte for byte.
#include <arpa/inet.h>
#include <signal.h>

#include <algorithm>
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

constexpr std::uint16_t kIcmpv6 = 58;
// Up to the largest UDP payload one 1500-byte frame carries over IPv6 unfragmented.
const std::vector<std::size_t> kUdpPayloads = {0, 1, 100, 1000, 1452};
constexpr int kPings = 3;
constexpr std::uint16_t kPingIdentifier = 23130;  // given to ping, so its port is known
constexpr std::uint64_t kPingPacketBytes = 104;  // 40 IPv6 + 8 ICMPv6 + 56 data
constexpr std::size_t kWarmUpPayload = 10;
constexpr std::size_t kMarkerPayload = 33;

// What a sender's UDP payloads come to at the IP layer over one family.
std::uint64_t udpBytes(std::uint8_t family) {
    const std::uint64_t headers = family == kFamilyIpv6 ? 48 : 28;
    return std::accumulate(kUdpPayloads.begin(), kUdpPayloads.end(), std::uint64_t{0},
                           [&](std::uint64_t sum, std::size_t payload) { return sum + headers + payload; });
}

std::optional<Ipv6Address> parseIpv6(const std::string& text) {
    Ipv6Address address;
    if (inet_pton(AF_INET6, text.c_str(), address.data()) != 1) return std::nullopt;
    return address;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    std::map<std::string, std::string> args = parseOptions(argc, argv);
    const std::optional<std::uint32_t> local = parseAddress(args["local"]);
    const std::optional<std::uint32_t> remote = parseAddress(args["remote"]);
    const std::optional<Ipv6Address> local6 = parseIpv6(args["local6"]);
    const std::string workFolder = args["workdir"];
    if (!local || !remote || !local6 || !parseIpv6(args["remote6"]) || workFolder.empty() || args["interface"].empty() ||
        args["udp-port"].empty() || args["tcp-port"].empty() || args["tcp-send"].empty() || args["tcp-reply"].empty()) {
        return failWith("usage: e2e_capture_ipv6_probe --local A --remote B --local6 A6 --remote6 B6 --interface IF "
                        "--udp-port P --tcp-port P --tcp-send N --tcp-reply N --udp-exchange PATH --tcp-client PATH "
                        "--workdir DIR");
    }
    const std::string remoteText = args["remote"];
    const std::string remote6Text = args["remote6"];
    const auto udpEchoPort = static_cast<std::uint16_t>(std::stoul(args["udp-port"]));
    const auto tcpServerPort = static_cast<std::uint16_t>(std::stoul(args["tcp-port"]));
    const std::uint64_t tcpSendBytes = std::stoull(args["tcp-send"]);
    const std::uint64_t tcpReplyBytes = std::stoull(args["tcp-reply"]);
    const std::string pcapPath = workFolder + "/truth.pcap";
    std::string error;

    auto tcpdump = startTcpdump(args["interface"], pcapPath, error);
    if (!tcpdump) return failWith("tcpdump: " + error);

    LiveMonitor::Options options;
    options.localAddress = *local;
    options.workFolder = workFolder;
    LiveMonitor live(options);

    auto marker = UdpSocket::bind(*local, error);
    auto warmUp = UdpSocket::bind(*local, error);
    if (!marker || !warmUp) return failWith(error);
    if (!live.waitUntilLive(*warmUp, *remote, udpEchoPort, kWarmUpPayload, 20s)) {
        return failWith("capture never counted this program's own datagrams", &live);
    }
    // The window learns the interface's IPv6 addresses from the helper once a
    // second; IPv6 sent before that would count nowhere.
    if (!live.tickUntil([&] { return live.monitor().captureStatus().ipv6AddressCount == 1; }, 5s)) {
        return failWith("the interface's IPv6 address was never reported (" +
                            std::to_string(live.monitor().captureStatus().ipv6AddressCount) + " addresses)",
                        &live);
    }
    std::printf("capture is live (warm-up port %u, 1 IPv6 address, %s)\n", warmUp->port(),
                live.monitor().captureStatus().mode == AttributionMode::Ebpf ? "owners from eBPF" : "owners from /proc");

    auto exchangeCommand = [&](const std::string& localText, const std::string& remotes) {
        std::vector<std::string> command = {args["udp-exchange"], localText, std::to_string(udpEchoPort), remotes};
        for (const std::size_t size : kUdpPayloads) command.push_back(std::to_string(size));
        return command;
    };
    auto udp6 = ChildProcess::start(exchangeCommand(args["local6"], remote6Text), {.input = true, .output = true}, error);
    if (!udp6) return failWith("cannot start the IPv6 UDP exchange: " + error);
    auto dual = ChildProcess::start(exchangeCommand("::", remoteText + "," + remote6Text), {.input = true, .output = true},
                                    error);
    if (!dual) return failWith("cannot start the dual-stack UDP exchange: " + error);
    auto tcpClient = ChildProcess::start({args["tcp-client"], args["local6"], remote6Text, std::to_string(tcpServerPort),
                                          std::to_string(tcpSendBytes), std::to_string(tcpReplyBytes)},
                                         {.input = true, .output = true}, error);
    if (!tcpClient) return failWith("cannot start the TCP client: " + error);
    const std::optional<std::uint16_t> udp6Port = announcedPort(*udp6);
    const std::optional<std::uint16_t> dualPort = announcedPort(*dual);
    const std::optional<std::uint16_t> tcpPort = announcedPort(*tcpClient);
    if (!udp6Port || !dualPort || !tcpPort) return failWith("a sender did not announce its port");
    const std::u16string udpPath = utf8ToU16(udp6->executablePath());
    const std::u16string tcpPath = utf8ToU16(tcpClient->executablePath());
    // As in the IPv4 test: with /proc passes alone, the sockets are shown
    // owned before the traffic; the dual-stack one for both families.
    if (live.monitor().captureStatus().mode != AttributionMode::Ebpf &&
        (!live.waitUntilOwned(*udp6Port, kUdp, udpPath, 10s, kFamilyIpv6) ||
         !live.waitUntilOwned(*dualPort, kUdp, udpPath, 10s, kFamilyIpv4) ||
         !live.waitUntilOwned(*dualPort, kUdp, udpPath, 10s, kFamilyIpv6) ||
         !live.waitUntilOwned(*tcpPort, kTcp, tcpPath, 10s, kFamilyIpv6))) {
        return failWith("owner discovery did not see the senders' sockets", &live);
    }

    for (ChildProcess* sender : {&*udp6, &*dual, &*tcpClient}) sender->writeLine("go");
    auto ping = ChildProcess::start({"ping", "-6", "-n", "-q", "-e", std::to_string(kPingIdentifier), "-c",
                                     std::to_string(kPings), "-s", "56", "-i", "0.2",
                                     "-W", "2", remote6Text},
                                    {.output = true}, error);
    if (!ping) return failWith("cannot start ping: " + error);

    std::vector<ChildProcess*> senders = {&*udp6, &*dual, &*tcpClient, &*ping};
    if (!live.waitForChildren(senders, 20s, error)) return failWith(error, &live);

    // One capture handle keeps frame order across families: once the marker
    // is counted (and filed by tcpdump) everything sent before it is too.
    if (!live.countMarker(*marker, *remote, udpEchoPort, kMarkerPayload, 10s))
        return failWith("the marker datagram was never counted", &live);
    const std::vector<Ipv6Address> localIpv6 = {*local6};
    PcapTotals truth;
    const bool markerFiled = live.tickUntil(
        [&] {
            truth = sumPcapFile(readFile(pcapPath), *local, localIpv6);
            return truth.flow(marker->port(), kUdp, true).packets > 0;
        },
        10s);
    if (!markerFiled) return failWith("the marker never reached tcpdump's file: " + truth.problem);
    tcpdump->signal(SIGINT);
    tcpdump->wait();
    const std::string summary = tcpdump->drainErrors();
    truth = sumPcapFile(readFile(pcapPath), *local, localIpv6);

    CheckTable table;
    table.add("tcpdump: packets dropped by kernel", 0, std::nullopt, kernelDrops(summary));
    const std::uint64_t echo6 = udpBytes(kFamilyIpv6);
    checkApplication(table, live, truth,
                     {"UDP exchanges", udpPath, kUdp, "UDP:",
                      {{"IPv6-only socket", *udp6Port, udpEchoPort, kFamilyIpv6, remote6Text, echo6},
                       {"dual-stack socket over IPv6", *dualPort, udpEchoPort, kFamilyIpv6, remote6Text, echo6},
                       {"dual-stack socket over IPv4", *dualPort, udpEchoPort, kFamilyIpv4, remoteText,
                        udpBytes(kFamilyIpv4)}}});
    checkApplication(table, live, truth,
                     {"TCP client", tcpPath, kTcp, "TCP:",
                      {{"over IPv6", *tcpPort, tcpServerPort, kFamilyIpv6, remote6Text, std::nullopt, tcpSendBytes,
                        tcpReplyBytes}}});
    // The link carries no neighbour discovery, router solicitation or MLD of
    // the local address (see netns_pair.sh), so tcpdump's ICMPv6 is the echo alone.
    checkApplication(table, live, truth,
                     {"ping -6", programInPath("ping"), kIcmpv6, "-",
                      {{"echo", kPingIdentifier, 0, kFamilyIpv6, remote6Text, kPings * kPingPacketBytes}}});
    table.print();
    std::printf("capture file: %llu frames; UDP exchanges on ports %u (IPv6) and %u (dual-stack), TCP client on %u\n",
                static_cast<unsigned long long>(truth.records), *udp6Port, *dualPort, *tcpPort);
    if (!table.allOk()) return failWith("counted traffic differs from what was sent", &live);
    std::printf("PASS\n");
    return 0;
}
