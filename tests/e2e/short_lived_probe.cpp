// Programs too short-lived for a /proc scan to see, run inside the test's own
// network namespace by run_short_lived_e2e.sh: ten that send a burst of UDP
// datagrams and exit within a millisecond or two, five that fetch over a TCP
// connection of their own and exit. With owner events every byte of each, as
// tcpdump recorded it, must be counted under its own program; with /proc scans
// alone the share is printed, not checked (such programs are often gone
// before any scan).
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/text.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/monitor_harness.h"
#include "tests/e2e/pcap_totals.h"

using namespace sondrel;
using namespace sondrel::e2e;
using namespace std::chrono_literals;

namespace {

constexpr int kBursts = 10;
constexpr int kFetches = 5;

struct Run {
    std::string program;  // the executable's real path: its label
    std::uint16_t port = 0;
    std::uint16_t protocol = 0;
};

int failWith(const std::string& reason, const LiveMonitor* live = nullptr) {
    return reportFailure("e2e_short_lived_probe", reason, live ? live->messages() : std::vector<std::string>());
}

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

// Runs one program to its end and takes the port it printed.
std::optional<std::uint16_t> runToEnd(const std::vector<std::string>& command, std::string& error) {
    auto child = ChildProcess::start(command, {.output = true}, error);
    if (!child) return std::nullopt;
    const std::optional<std::string> line = child->readLine(10s);
    child->wait();
    if (!line || line->rfind("port ", 0) != 0) {
        error = command[0] + " printed no port";
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(std::stoul(line->substr(5)));
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    std::map<std::string, std::string> args = parseOptions(argc, argv);
    const std::optional<std::uint32_t> local = parseAddress(args["local"]);
    const std::optional<std::uint32_t> remote = parseAddress(args["remote"]);
    if (!local || !remote || args["workdir"].empty() || args["burst"].empty() || args["fetch"].empty()) {
        return failWith("usage: e2e_short_lived_probe --local A --remote B --interface IF --udp-port P --tcp-port P "
                        "--tcp-send N --burst PATH --fetch PATH --workdir DIR");
    }
    const std::string pcapPath = args["workdir"] + "/truth.pcap";
    std::string error;
    auto tcpdump = startTcpdump(args["interface"], pcapPath, error);
    if (!tcpdump) return failWith("cannot start tcpdump: " + error);

    LiveMonitor::Options options;
    options.localAddress = *local;
    options.workFolder = args["workdir"];
    LiveMonitor live(options);
    const auto udpPort = static_cast<std::uint16_t>(std::stoul(args["udp-port"]));
    auto marker = UdpSocket::bind(*local, error);
    auto warmUp = UdpSocket::bind(*local, error);
    if (!marker || !warmUp) return failWith(error);
    if (!live.waitUntilLive(*warmUp, *remote, udpPort, 10, 20s)) return failWith("capture never went live", &live);
    const AttributionMode mode = live.monitor().captureStatus().mode;

    std::vector<Run> runs;
    const std::string burst = realPath(args["burst"]);
    for (int i = 0; i < kBursts; ++i) {
        const auto port = runToEnd({burst, args["local"], args["remote"], args["udp-port"], "5", "200"}, error);
        if (!port) return failWith(error, &live);
        runs.push_back({burst, *port, 17});
    }
    const std::string fetch = realPath(args["fetch"]);
    for (int i = 0; i < kFetches; ++i) {
        const auto port = runToEnd({fetch, args["local"], args["remote"], args["tcp-port"], args["tcp-send"]}, error);
        if (!port) return failWith(error, &live);
        runs.push_back({fetch, *port, 6});
    }

    // Capture keeps frame order: once the marker is counted and filed, all before it is too.
    marker->sendTo(*remote, udpPort, 33);
    const std::u16string self = utf8ToU16(selfExecutablePath());
    const auto counted = [&](std::uint16_t port, const std::u16string& program) {
        const std::optional<AppRecord> app = findApplication(live.records(), program);
        if (!app) return std::pair<std::uint64_t, std::uint64_t>{0, 0};
        for (const EndpointRecord& e : app->endpoints)
            if (e.localPort == port) return std::pair{e.ulBytes, e.dlBytes};
        return std::pair<std::uint64_t, std::uint64_t>{0, 0};
    };
    if (!live.tickUntil([&] { return counted(marker->port(), self).first > 0; }, 10s))
        return failWith("the marker was never counted", &live);
    PcapTotals truth;
    if (!live.tickUntil(
            [&] {
                truth = sumPcapFile(readWholeFile(pcapPath), *local);
                return truth.flow(marker->port(), 17, true).packets > 0;
            },
            10s))
        return failWith("the marker never reached tcpdump's file: " + truth.problem);
    tcpdump->signal(SIGINT);
    tcpdump->wait();
    truth = sumPcapFile(readWholeFile(pcapPath), *local);

    std::uint64_t trueBytes = 0;
    std::uint64_t rightBytes = 0;
    bool exact = true;
    for (const Run& run : runs) {
        const std::uint64_t ul = truth.flow(run.port, run.protocol, true).bytes;
        const std::uint64_t dl = truth.flow(run.port, run.protocol, false).bytes;
        const auto [countedUl, countedDl] = counted(run.port, utf8ToU16(run.program));
        std::printf("%-40s %s:%-5u tcpdump %7llu / %7llu  counted under it %7llu / %7llu\n", run.program.c_str(),
                    run.protocol == 6 ? "TCP" : "UDP", run.port, static_cast<unsigned long long>(ul),
                    static_cast<unsigned long long>(dl), static_cast<unsigned long long>(countedUl),
                    static_cast<unsigned long long>(countedDl));
        trueBytes += ul + dl;
        rightBytes += std::min(ul, countedUl) + std::min(dl, countedDl);
        exact = exact && ul > 0 && countedUl == ul && countedDl == dl;
    }
    const double share = trueBytes > 0 ? 100.0 * double(rightBytes) / double(trueBytes) : 0.0;
    std::printf("owners from %s: %.1f%% of %llu bytes under the right program\n",
                mode == AttributionMode::Ebpf ? "eBPF events" : "/proc scans", share,
                static_cast<unsigned long long>(trueBytes));
    if (mode == AttributionMode::Ebpf && !exact) return failWith("short-lived programs' bytes went elsewhere", &live);
    std::printf("PASS\n");
    return 0;
}
