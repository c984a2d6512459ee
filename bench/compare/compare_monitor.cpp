// Sondrel's side of the side-by-side run with nethogs: the engine as the main
// window runs it (one tick a second), inside the namespace under test, until
// SIGTERM or SIGINT; then it prints everything it counted and ends.
//   compare_monitor --local A --remote B --sink-port P [--interfaces all | NAME[,NAME...]]
// Without --interfaces it captures on the interface of the local address.
// Prints "ready" once its own warm-up datagrams are counted, then how owners
// are found and which process is the capture helper (whose CPU is Sondrel's too):
//   mode <TAB> Ebpf | ProcPolling | None | Unknown
//   helper <TAB> PID
// and on the signal one line per application and per endpoint:
//   app <TAB> UL <TAB> DL <TAB> NAME
//   endpoint <TAB> LOCAL_PORT <TAB> TAG <TAB> FAMILY (4 or 6) <TAB> UL <TAB> DL <TAB> APP NAME
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "base/capture_set.h"
#include "base/text.h"
#include "tests/e2e/monitor_harness.h"

using namespace sondrel;
using namespace sondrel::e2e;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kWarmUpPayload = 10;
constexpr std::size_t kMarkerPayload = 11;

int fail(const std::string& reason, const LiveMonitor* live = nullptr) {
    std::fprintf(stderr, "compare_monitor: %s\n", reason.c_str());
    if (live != nullptr) {
        for (const std::string& message : live->messages()) std::fprintf(stderr, "  engine: %s\n", message.c_str());
    }
    return 1;
}

void printRecords(RecordsState& records) {
    const std::scoped_lock guard(records.RecordsLock);
    for (const AppRecord& app : records.table.records()) {
        const std::string name = u16ToUtf8(app.name);
        std::printf("app\t%llu\t%llu\t%s\n", static_cast<unsigned long long>(app.ulBytes),
                    static_cast<unsigned long long>(app.dlBytes), name.c_str());
        for (const EndpointRecord& endpoint : app.endpoints) {
            std::printf("endpoint\t%u\t%s\t%u\t%llu\t%llu\t%s\n", endpoint.localPort,
                        u16ToUtf8(endpoint.protocolTag).c_str(), unsigned(endpoint.family),
                        static_cast<unsigned long long>(endpoint.ulBytes),
                        static_cast<unsigned long long>(endpoint.dlBytes), name.c_str());
        }
    }
}

const char* modeName(AttributionMode mode) {
    switch (mode) {
    case AttributionMode::Ebpf: return "Ebpf";
    case AttributionMode::ProcPolling: return "ProcPolling";
    case AttributionMode::None: return "None";
    case AttributionMode::Unknown: break;
    }
    return "Unknown";
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> args = parseOptions(argc, argv);
    const std::optional<std::uint32_t> local = parseAddress(args["local"]);
    const std::optional<std::uint32_t> remote = parseAddress(args["remote"]);
    if (!local || !remote || args["sink-port"].empty()) {
        return fail("usage: compare_monitor --local A --remote B --sink-port P [--interfaces LIST]");
    }
    std::optional<CaptureSet> interfaces;
    if (!args["interfaces"].empty()) {
        interfaces = parseInterfaceList(args["interfaces"]);
        if (!interfaces) return fail("not a list of interfaces: " + args["interfaces"]);
    }
    const auto sinkPort = static_cast<std::uint16_t>(std::stoul(args["sink-port"]));

    // Blocked before any engine thread exists, so every thread inherits the
    // mask and the signal is only ever taken by the sigtimedwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // The settings and report folder of this run.
    const TemporaryFolder scratch("sondrel-compare");
    if (scratch.path().empty()) return fail("no scratch folder");
    std::string error;
    LiveMonitor::Options options;
    options.localAddress = *local;
    options.interfaces = interfaces;
    options.workFolder = scratch.path();
    LiveMonitor live(options);
    auto marker = UdpSocket::bind(*local, error);
    auto warmUp = UdpSocket::bind(*local, error);
    if (!marker || !warmUp) return fail(error);
    if (!live.waitUntilLive(*warmUp, *remote, sinkPort, kWarmUpPayload, 20s)) {
        return fail("capture never counted this program's own datagrams", &live);
    }
    std::printf("ready\nmode\t%s\nhelper\t%d\n", modeName(live.monitor().captureStatus().mode),
                live.helperProcess().value_or(0));
    std::fflush(stdout);

    // The main window's cadence: one tick a second, until told to stop.
    const timespec second{1, 0};
    for (;;) {
        live.monitor().tick();
        if (sigtimedwait(&stopSignals, nullptr, &second) > 0) break;
    }

    // Capture keeps frame order: once the marker is counted, so is everything before it.
    marker->sendTo(*remote, sinkPort, kMarkerPayload);
    const std::u16string self = utf8ToU16(selfExecutablePath());
    const bool drained = live.tickUntil(
        [&] {
            const std::optional<AppRecord> app = findApplication(live.records(), self);
            return app && std::any_of(app->endpoints.begin(), app->endpoints.end(),
                                      [&](const EndpointRecord& e) { return e.localPort == marker->port(); });
        },
        15s);
    if (!drained) std::fprintf(stderr, "compare_monitor: the marker datagram was not counted within 15 s\n");
    printRecords(live.records());
    std::fflush(stdout);
    return drained ? 0 : 1;
}
