// The end-to-end check of capture on every interface, run inside namespace A
// by run_interfaces_e2e.sh: a Monitor captures with the set "all" while real
// programs trade with B over one veth pair, with C over another and with
// servers of A itself over loopback, and a tcpdump on each of the three
// interfaces records what crossed it. Every Details row must name the
// interface its packets crossed, and per program and interface the bytes of
// those rows must be tcpdump's for that interface, byte for byte. Then a
// fourth interface, to D, comes up while the Monitor runs: its first traffic
// must be in the lists, under that interface's name, within a tick and a half.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/text.h"
#include "engine/list_columns.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/monitor_harness.h"
#include "tests/e2e/pcap_totals.h"
#include "tests/e2e/probe_checks.h"

using namespace sondrel;
using namespace sondrel::e2e;
using namespace std::chrono_literals;

namespace {

const std::string kLoopback = "127.0.0.1";
const std::vector<std::size_t> kUdpPayloads = {0, 1, 100, 1000, 1472};
constexpr std::size_t kWarmUpPayload = 10;
constexpr std::size_t kMarkerPayload = 33;
// One tick of the window and half of one more: what a new interface may take
// from its first packet to its row in the lists.
constexpr auto kNewInterfaceBound = 1500ms;

// One interface of A and tcpdump's record of it.
struct Link {
    std::string device;
    std::string addressText;  // A's end
    std::uint32_t address = 0;
    std::string pcapPath;
    std::optional<ChildProcess> tcpdump;
    PcapTotals truth;
    std::string summary;  // tcpdump's closing lines
};

// A Details row a program must have: its local port, its remote and the link
// its packets crossed.
struct ExpectedRow {
    std::string label;
    std::uint16_t localPort;
    std::string remoteText;
    std::size_t link;
};

struct Program {
    std::string label;
    std::u16string name;
    std::uint16_t protocol;
    std::vector<ExpectedRow> rows;
    // Bytes each way per row where the program makes them known (each echo
    // returns what was sent); otherwise tcpdump's.
    std::optional<std::uint64_t> knownPerRow;
};

std::unordered_map<std::uint32_t, std::u16string> interfaceNames(RecordsState& records) {
    const std::scoped_lock guard(records.RecordsLock);
    return records.interfaceNames;
}

std::string nameOf(const std::unordered_map<std::uint32_t, std::u16string>& names, std::uint32_t index) {
    const auto found = names.find(index);
    return found == names.end() ? "(index " + std::to_string(index) + " unnamed)" : u16ToUtf8(found->second);
}

const EndpointRecord* findEndpoint(const std::optional<AppRecord>& app, std::uint16_t localPort,
                                   const std::string& remoteText) {
    if (!app) return nullptr;
    for (const EndpointRecord& endpoint : app->endpoints) {
        if (endpoint.localPort == localPort && u16ToUtf8(endpoint.remoteIpText) == remoteText) return &endpoint;
    }
    return nullptr;
}

// Per interface: the program's rows there and their bytes each way against
// tcpdump's figures for all of the program's ports on that interface; per row
// the interface its record and its Details cell name.
void checkProgram(CheckTable& table, LiveMonitor& live, const std::vector<Link>& links, const Program& program) {
    const std::optional<AppRecord> app = findApplication(live.records(), program.name);
    const auto names = interfaceNames(live.records());
    const auto details = detailTexts(live.monitor().lists(), program.name);
    table.add(program.label + ": listed as", u16ToUtf8(program.name), "-", app ? u16ToUtf8(app->name) : "(none)");

    for (std::size_t link = 0; link < links.size(); ++link) {
        const std::string what = program.label + " on " + links[link].device;
        std::uint64_t rowsWanted = 0;
        std::set<std::uint16_t> ports;
        for (const ExpectedRow& row : program.rows) {
            ports.insert(row.localPort);
            if (row.link == link) ++rowsWanted;
        }
        std::uint64_t fileUl = 0;
        std::uint64_t fileDl = 0;
        for (const std::uint16_t port : ports) {
            fileUl += links[link].truth.flow(port, program.protocol, true).bytes;
            fileDl += links[link].truth.flow(port, program.protocol, false).bytes;
        }
        const std::uint64_t wantUl = program.knownPerRow ? rowsWanted * *program.knownPerRow : fileUl;
        const std::uint64_t wantDl = program.knownPerRow ? rowsWanted * *program.knownPerRow : fileDl;
        std::uint64_t rows = 0;
        std::uint64_t ul = 0;
        std::uint64_t dl = 0;
        if (app) {
            for (const EndpointRecord& endpoint : app->endpoints) {
                if (nameOf(names, endpoint.interfaceIndex) != links[link].device) continue;
                ++rows;
                ul += endpoint.ulBytes;
                dl += endpoint.dlBytes;
            }
        }
        table.add(what + ": rows", rowsWanted, std::nullopt, rows);
        table.add(what + ": UL bytes", wantUl, fileUl, ul);
        table.add(what + ": DL bytes", wantDl, fileDl, dl);
    }

    for (const ExpectedRow& row : program.rows) {
        const std::string what = program.label + " " + row.label;
        const std::string& device = links[row.link].device;
        const EndpointRecord* endpoint = findEndpoint(app, row.localPort, row.remoteText);
        table.add(what + ": endpoint's interface", device, "-",
                  endpoint ? nameOf(names, endpoint->interfaceIndex) : "(no such endpoint)");
        const std::string localCell = (program.protocol == kTcp ? "TCP:" : "UDP:") + std::to_string(row.localPort);
        const auto cells = std::find_if(details.begin(), details.end(), [&](const std::vector<std::string>& texts) {
            return texts[DetailLocalPort] == localCell && texts[DetailRemoteIp] == row.remoteText;
        });
        table.add(what + ": Details \"Interface\"", device, "-",
                  cells == details.end() ? "(no such row)" : (*cells)[DetailInterface]);
    }
}

// Whether `condition` holds, as a row of the table.
void addClaim(CheckTable& table, const std::string& what, bool condition) {
    table.add(what, "yes", "-", condition ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    std::map<std::string, std::string> args = parseOptions(argc, argv);
    const std::string workFolder = args["workdir"];
    for (const char* name : {"veth-b", "local-b", "remote-b", "veth-c", "local-c", "remote-c", "veth-d", "remote-d",
                             "add-interface", "udp-port", "tcp-port", "tcp-send", "tcp-reply", "lo-tcp-port",
                             "lo-reply", "sink-d-port", "udp-exchange", "udp-echo", "tcp-client", "tcp-server"}) {
        if (args[name].empty() || workFolder.empty()) {
            return failWith("usage: e2e_interfaces_probe --veth-b IF --local-b A --remote-b B --veth-c IF --local-c A "
                            "--remote-c C --veth-d IF --remote-d D --add-interface COMMAND --udp-port P --tcp-port P "
                            "--tcp-send N --tcp-reply N --lo-tcp-port P --lo-reply N --sink-d-port P "
                            "--udp-exchange PATH --udp-echo PATH --tcp-client PATH --tcp-server PATH --workdir DIR");
        }
    }
    std::vector<Link> links(3);
    links[0].device = args["veth-b"];
    links[0].addressText = args["local-b"];
    links[1].device = args["veth-c"];
    links[1].addressText = args["local-c"];
    links[2].device = "lo";
    links[2].addressText = kLoopback;
    const std::vector<std::string> remotes = {args["remote-b"], args["remote-c"], kLoopback};
    std::vector<std::uint32_t> remoteAddresses;
    for (std::size_t link = 0; link < links.size(); ++link) {
        const std::optional<std::uint32_t> local = parseAddress(links[link].addressText);
        const std::optional<std::uint32_t> remote = parseAddress(remotes[link]);
        if (!local || !remote) return failWith("not an IPv4 address: " + links[link].addressText + " or " + remotes[link]);
        links[link].address = *local;
        links[link].pcapPath = workFolder + "/" + links[link].device + ".pcap";
        remoteAddresses.push_back(*remote);
    }
    const std::optional<std::uint32_t> remoteD = parseAddress(args["remote-d"]);
    if (!remoteD) return failWith("not an IPv4 address: " + args["remote-d"]);
    const auto udpEchoPort = static_cast<std::uint16_t>(std::stoul(args["udp-port"]));
    const auto loServerPort = static_cast<std::uint16_t>(std::stoul(args["lo-tcp-port"]));
    const auto sinkDPort = static_cast<std::uint16_t>(std::stoul(args["sink-d-port"]));
    const std::uint64_t loReplyBytes = std::stoull(args["lo-reply"]);
    const std::u16string echoPath = programName(args["udp-echo"]);
    const std::u16string serverPath = programName(args["tcp-server"]);
    std::string error;

    for (Link& link : links) {
        auto tcpdump = startTcpdump(link.device, link.pcapPath, error);
        if (!tcpdump) return failWith("tcpdump on " + link.device + ": " + error);
        link.tcpdump.emplace(std::move(*tcpdump));
    }

    LiveMonitor::Options options;
    options.interfaces = CaptureSet::all();
    options.workFolder = workFolder;
    LiveMonitor live(options);
    if (live.monitor().captureSet() != CaptureSet::all()) return failWith("the monitor did not take the set \"all\"", &live);

    // This program's own traffic on each interface: bound before the warm-up
    // sockets, so the pass that shows those owned shows these too. On loopback
    // it goes to a sink of its own rather than to the echo that is checked.
    std::vector<UdpSocket> markers;
    std::vector<UdpSocket> warmUps;
    for (const Link& link : links) {
        auto marker = UdpSocket::bind(link.address, error);
        if (!marker) return failWith(error);
        markers.push_back(std::move(*marker));
    }
    auto loSink = UdpSocket::bind(links[2].address, error);
    if (!loSink) return failWith(error);
    const std::vector<std::uint16_t> warmUpPorts = {udpEchoPort, udpEchoPort, loSink->port()};
    for (std::size_t link = 0; link < links.size(); ++link) {
        auto warmUp = UdpSocket::bind(links[link].address, error);
        if (!warmUp) return failWith(error);
        if (!live.waitUntilLive(*warmUp, remoteAddresses[link], warmUpPorts[link], kWarmUpPayload, 20s)) {
            return failWith("capture never counted this program's own datagrams on " + links[link].device, &live);
        }
        warmUps.push_back(std::move(*warmUp));
    }
    const bool ebpf = live.monitor().captureStatus().mode == AttributionMode::Ebpf;
    std::printf("capture is live on %s, %s and lo (%s)\n", links[0].device.c_str(), links[1].device.c_str(),
                ebpf ? "owners from eBPF" : "owners from /proc");

    // One UDP socket trading with B, C and A's own echo; one TCP client
    // program to each of B and C and a download from A's own server.
    std::vector<std::string> exchangeCommand = {args["udp-exchange"], "0.0.0.0", args["udp-port"],
                                                remotes[0] + "," + remotes[1] + "," + remotes[2]};
    for (const std::size_t size : kUdpPayloads) exchangeCommand.push_back(std::to_string(size));
    auto udpExchange = ChildProcess::start(exchangeCommand, {.input = true, .output = true}, error);
    if (!udpExchange) return failWith("cannot start the UDP exchange: " + error);
    std::vector<ChildProcess> tcpClients;
    for (std::size_t link = 0; link < links.size(); ++link) {
        const bool download = link == 2;
        auto client = ChildProcess::start(
            {args["tcp-client"], links[link].addressText, remotes[link],
             download ? args["lo-tcp-port"] : args["tcp-port"], download ? "0" : args["tcp-send"],
             download ? args["lo-reply"] : args["tcp-reply"]},
            {.input = true, .output = true}, error);
        if (!client) return failWith("cannot start a TCP client: " + error);
        tcpClients.push_back(std::move(*client));
    }
    const std::optional<std::uint16_t> udpPort = announcedPort(*udpExchange);
    std::vector<std::uint16_t> tcpPorts;
    for (ChildProcess& client : tcpClients) {
        const std::optional<std::uint16_t> port = announcedPort(client);
        if (!port) return failWith("a TCP client did not announce its port");
        tcpPorts.push_back(*port);
    }
    if (!udpPort) return failWith("the UDP exchange did not announce its port");
    const std::u16string exchangePath = utf8ToU16(udpExchange->executablePath());
    const std::u16string clientPath = utf8ToU16(tcpClients.front().executablePath());
    // As in the other capture tests: with /proc passes alone, every socket of
    // either end is shown owned before the traffic.
    if (!ebpf) {
        bool owned = live.waitUntilOwned(*udpPort, kUdp, exchangePath, 10s) &&
                     live.waitUntilOwned(udpEchoPort, kUdp, echoPath, 10s) &&
                     live.waitUntilOwned(loServerPort, kTcp, serverPath, 10s);
        for (const std::uint16_t port : tcpPorts) owned = owned && live.waitUntilOwned(port, kTcp, clientPath, 10s);
        if (!owned) return failWith("owner discovery did not see the programs' sockets", &live);
    }

    std::vector<ChildProcess*> children = {&*udpExchange};
    for (ChildProcess& client : tcpClients) children.push_back(&client);
    for (ChildProcess* child : children) child->writeLine("go");
    if (!live.waitForChildren(children, 20s, error)) return failWith(error, &live);

    // Capture keeps frame order: once each interface's marker is counted (and
    // is in that interface's file), everything sent before it is too.
    for (std::size_t link = 0; link < links.size(); ++link) {
        if (!live.countMarker(markers[link], remoteAddresses[link], warmUpPorts[link], kMarkerPayload, 10s))
            return failWith("the marker datagram on " + links[link].device + " was never counted", &live);
    }
    for (std::size_t link = 0; link < links.size(); ++link) {
        Link& l = links[link];
        const bool filed = live.tickUntil(
            [&] {
                l.truth = sumPcapFile(readFile(l.pcapPath), l.address);
                return l.truth.flow(markers[link].port(), kUdp, true).packets > 0;
            },
            10s);
        if (!filed) return failWith("the marker never reached tcpdump's file of " + l.device + ": " + l.truth.problem);
    }
    for (Link& link : links) {
        link.tcpdump->signal(SIGINT);
        link.tcpdump->wait();
        link.summary = link.tcpdump->drainErrors();
        link.truth = sumPcapFile(readFile(link.pcapPath), link.address);
    }

    const std::uint64_t udpBytes = std::accumulate(kUdpPayloads.begin(), kUdpPayloads.end(), std::uint64_t{0},
                                                   [](std::uint64_t sum, std::size_t payload) { return sum + 28 + payload; });
    CheckTable table;
    for (const Link& link : links) {
        table.add("tcpdump on " + link.device + ": packets dropped by kernel", 0, std::nullopt, kernelDrops(link.summary));
        table.add("tcpdump on " + link.device + ": packets neither from nor to " + link.addressText, 0, std::nullopt,
                  link.truth.foreignPackets);
    }
    const std::vector<Program> programs = {
        {"UDP exchange", exchangePath, kUdp,
         {{"to B", *udpPort, remotes[0], 0}, {"to C", *udpPort, remotes[1], 1}, {"to A's echo", *udpPort, kLoopback, 2}},
         udpBytes},
        {"UDP echo of A", echoPath, kUdp, {{"to the exchange", udpEchoPort, kLoopback, 2}}, udpBytes},
        {"TCP client",
         clientPath,
         kTcp,
         {{"to B", tcpPorts[0], remotes[0], 0}, {"to C", tcpPorts[1], remotes[1], 1}, {"from A's server", tcpPorts[2], kLoopback, 2}},
         std::nullopt},
        {"TCP server of A", serverPath, kTcp, {{"to the download", loServerPort, kLoopback, 2}}, std::nullopt},
    };
    for (const Program& program : programs) checkProgram(table, live, links, program);

    // The download over loopback: the downloader's row has the reply as DL,
    // the server's as UL; what goes the other way is headers and ACKs.
    const std::optional<AppRecord> clientApp = findApplication(live.records(), clientPath);
    const std::optional<AppRecord> serverApp = findApplication(live.records(), serverPath);
    const EndpointRecord* downloader = findEndpoint(clientApp, tcpPorts[2], kLoopback);
    const EndpointRecord* server = findEndpoint(serverApp, loServerPort, kLoopback);
    const std::string reply = std::to_string(loReplyBytes);
    addClaim(table, "loopback download: downloader's DL > " + reply, downloader && downloader->dlBytes > loReplyBytes);
    addClaim(table, "loopback download: downloader's UL < " + reply, downloader && downloader->ulBytes < loReplyBytes);
    addClaim(table, "loopback download: server's UL > " + reply, server && server->ulBytes > loReplyBytes);
    addClaim(table, "loopback download: server's DL < " + reply, server && server->dlBytes < loReplyBytes);

    // A new interface while the Monitor runs. The socket is bound to any
    // address now, so its owner is known before the interface exists.
    const std::string& deviceD = args["veth-d"];
    auto toD = UdpSocket::bind(0, error);
    if (!toD) return failWith(error);
    if (!ebpf && !live.waitUntilOwned(toD->port(), kUdp, utf8ToU16(selfExecutablePath()), 10s))
        return failWith("owner discovery did not see the socket for D", &live);
    auto addInterface = ChildProcess::start({"sh", "-c", args["add-interface"]}, {.errors = true}, error);
    if (!addInterface) return failWith("cannot add the interface to D: " + error);
    if (const int status = addInterface->wait(); status != 0)
        return failWith("adding the interface to D " + describeStatus(status) + ": " + addInterface->drainErrors());
    std::optional<std::chrono::steady_clock::time_point> firstSent;
    std::optional<std::chrono::milliseconds> seenAfter;
    std::string listedUnder;
    std::string listedInterface;
    std::string detailsInterface;
    live.tickUntil(
        [&] {
            const auto names = interfaceNames(live.records());
            {
                const std::scoped_lock guard(live.records().RecordsLock);
                for (const AppRecord& app : live.records().table.records()) {
                    for (const EndpointRecord& endpoint : app.endpoints) {
                        if (endpoint.localPort != toD->port() || endpoint.remoteIpText != utf8ToU16(args["remote-d"])) continue;
                        listedUnder = u16ToUtf8(app.name);
                        listedInterface = nameOf(names, endpoint.interfaceIndex);
                    }
                }
            }
            if (!listedUnder.empty() && firstSent) {
                seenAfter = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - *firstSent);
                return true;
            }
            if (toD->sendTo(*remoteD, sinkDPort, kWarmUpPayload) && !firstSent) firstSent = std::chrono::steady_clock::now();
            return false;
        },
        5s);
    if (!listedUnder.empty()) {
        const std::string localCell = "UDP:" + std::to_string(toD->port());
        for (const auto& cells : detailTexts(live.monitor().lists(), utf8ToU16(listedUnder))) {
            if (cells[DetailLocalPort] == localCell && cells[DetailRemoteIp] == args["remote-d"])
                detailsInterface = cells[DetailInterface];
        }
    }
    addClaim(table, "interface added while running: in the lists within " + std::to_string(kNewInterfaceBound.count()) +
                        " ms of its first packet",
             seenAfter && *seenAfter <= kNewInterfaceBound);
    table.add("interface added while running: endpoint's interface", deviceD, "-",
              listedUnder.empty() ? "(no such endpoint)" : listedInterface);
    table.add("interface added while running: Details \"Interface\"", deviceD, "-",
              detailsInterface.empty() ? "(no such row)" : detailsInterface);

    table.print();
    std::printf("UDP exchange on port %u, TCP clients on ports %u, %u and %u; the interface to D was listed %s\n",
                *udpPort, tcpPorts[0], tcpPorts[1], tcpPorts[2],
                seenAfter ? (std::to_string(seenAfter->count()) + " ms after its first packet").c_str() : "never");
    if (!table.allOk()) return failWith("counted traffic per interface differs from what crossed each", &live);
    std::printf("PASS\n");
    return 0;
}
