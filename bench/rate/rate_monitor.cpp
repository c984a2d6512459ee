// One step of the capture-rate measurement, run inside the sending namespace
// by run_rate.sh: a Monitor as the main window runs it (one tick a second)
// counts a paced sender's datagrams; prints one line of figures.
//   rate_monitor --local A --remote B --sink-port P --payload N --rate R --seconds S
//                --sender PATH --sender-cpu C --peer-rx "COMMAND printing the peer's rx_packets"
//                [--interfaces all | NAME[,NAME...]]
// Without --interfaces it captures on the interface of the local address, as
// the settings file's own choice does.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <variant>

#include "base/capture_set.h"
#include "base/text.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/monitor_harness.h"

using namespace sondrel;
using namespace sondrel::e2e;
using namespace std::chrono_literals;

namespace {

std::optional<unsigned long long> commandNumber(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    unsigned long long value = 0;
    const bool read = std::fscanf(pipe, "%llu", &value) == 1;
    ::pclose(pipe);
    return read ? std::optional(value) : std::nullopt;
}

int failWith(const std::string& reason, const LiveMonitor* live = nullptr) {
    return reportFailure("rate_monitor", reason, live ? live->messages() : std::vector<std::string>());
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    std::map<std::string, std::string> args = parseOptions(argc, argv);
    const std::optional<std::uint32_t> local = parseAddress(args["local"]);
    const std::optional<std::uint32_t> remote = parseAddress(args["remote"]);
    if (!local || !remote || args["sender"].empty() || args["rate"].empty()) {
        return failWith("missing or bad arguments");
    }
    std::optional<CaptureSet> interfaces;
    if (!args["interfaces"].empty()) {
        interfaces = parseInterfaceList(args["interfaces"]);
        if (!interfaces) return failWith("not a list of interfaces: " + args["interfaces"]);
    }
    const auto sinkPort = static_cast<std::uint16_t>(std::stoul(args["sink-port"]));
    const std::uint64_t payload = std::stoull(args["payload"]);
    const std::uint64_t ipLength = 28 + payload;
    const TemporaryFolder work("sondrel-rate");
    if (work.path().empty()) return failWith("no temporary folder");
    const std::string& workFolder = work.path();
    std::string error;

    {
        LiveMonitor::Options options;
        options.localAddress = *local;
        options.interfaces = interfaces;
        options.workFolder = workFolder;
        LiveMonitor live(options);
        auto warmUp = UdpSocket::bind(*local, error);
        if (!warmUp) return failWith(error);
        if (!live.waitUntilLive(*warmUp, *remote, sinkPort, 10, 20s)) return failWith("capture never went live", &live);

        auto sender = ChildProcess::start({"taskset", "-c", args["sender-cpu"], args["sender"], args["local"],
                                           args["remote"], args["sink-port"], args["payload"], args["rate"],
                                           args["seconds"]},
                                          {.input = true, .output = true}, error);
        if (!sender) return failWith(error);
        const std::optional<std::string> portLine = sender->readLine(5s);
        if (!portLine || portLine->rfind("port ", 0) != 0) return failWith("the sender did not announce its port");
        const auto senderPort = static_cast<std::uint16_t>(std::stoul(portLine->substr(5)));
        // taskset has exec'd the sender by the time it prints.
        const std::u16string senderPath = utf8ToU16(sender->executablePath());
        // Owner events name the sender's socket at its first datagram; passes need to see it first.
        if (live.monitor().captureStatus().mode != AttributionMode::Ebpf &&
            !live.waitUntilOwned(senderPort, 17, senderPath, 10s))
            return failWith("sender's port never owned", &live);

        const std::optional<int> helper = live.helperProcess();
        if (!helper) return failWith("no capture helper runs", &live);
        const std::optional<unsigned long long> rxBefore = commandNumber(args["peer-rx"]);
        const double cpuBefore = cpuSeconds();
        const double helperCpuBefore = cpuSeconds(*helper);
        sender->writeLine("go");
        // The main window's cadence: one tick a second.
        live.tickUntil([&] { return sender->poll().has_value(); }, 120s, 1000ms);
        const std::optional<std::string> sentLine = sender->readLine(5s);
        if (!sentLine || *sender->poll() != 0) return failWith("the sender failed");
        unsigned long long sent = 0;
        double sendSeconds = 0;
        std::sscanf(sentLine->c_str(), "sent %llu %lf", &sent, &sendSeconds);

        // Counted once a datagram sent after the last one has arrived too.
        auto marker = UdpSocket::bind(*local, error);
        if (!marker) return failWith(error);
        const std::u16string self = utf8ToU16(selfExecutablePath());
        marker->sendTo(*remote, sinkPort, 11);
        live.tickUntil(
            [&] {
                const std::optional<AppRecord> app = findApplication(live.records(), self);
                return app && std::any_of(app->endpoints.begin(), app->endpoints.end(),
                                          [&](const EndpointRecord& e) { return e.localPort == marker->port(); });
            },
            10s, 1000ms);
        const double cpuAfter = cpuSeconds();
        const double helperCpuAfter = cpuSeconds(*helper);
        // The helper reports its counters once a second.
        std::this_thread::sleep_for(1500ms);
        const CaptureStatus status = live.monitor().captureStatus();
        const std::optional<unsigned long long> rxAfter = commandNumber(args["peer-rx"]);

        const std::optional<AppRecord> counted = findApplication(live.records(), senderPath);
        const std::optional<AppRecord> unowned = findApplication(live.records(), u"UDP protocol");
        live.monitor().stop();

        const std::uint64_t countedBytes = counted ? counted->ulBytes : 0;
        const double windowCpu = cpuAfter - cpuBefore;
        const double helperCpu = helperCpuAfter - helperCpuBefore;
        const double cpu = windowCpu + helperCpu;
        std::printf("rate=%s sent=%llu send_seconds=%.3f peer_rx=%s counted=%llu counted_remainder=%llu unowned_bytes=%llu "
                    "forwarded=%llu kernel_drop=%llu window_cpu_seconds=%.2f helper_cpu_seconds=%.2f cpu_seconds=%.2f "
                    "cpu_percent=%.1f\n",
                    args["rate"].c_str(), sent, sendSeconds,
                    rxBefore && rxAfter ? std::to_string(*rxAfter - *rxBefore).c_str() : "?",
                    static_cast<unsigned long long>(countedBytes / ipLength),
                    static_cast<unsigned long long>(countedBytes % ipLength),
                    static_cast<unsigned long long>(unowned ? unowned->ulBytes : 0),
                    static_cast<unsigned long long>(status.packetsCaptured),
                    static_cast<unsigned long long>(status.packetsDropped), windowCpu, helperCpu, cpu,
                    sendSeconds > 0 ? 100.0 * cpu / sendSeconds : 0.0);
    }
    return 0;
}
