// The load run's monitor, inside the sending namespace (run_load.sh): a
// Monitor as the main window runs it (one tick a second, which refreshes the
// Applications list) counts the datagrams of many sending processes to many
// remote addresses, each new endpoint starting a real reverse look-up.
//   load_monitor --local A --first-remote R --addresses N --processes P --rate PPS
//                --seconds S --burst B --payload BYTES --port PORT --sender PATH
// Prints "sample ..." lines every 10 s while the senders run, then one
// "result ..." line of key=value figures.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/host_name_resolver.h"
#include "base/text.h"
#include "config/settings.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/monitor_harness.h"

using namespace sondrel;
using namespace sondrel::e2e;
using namespace std::chrono_literals;

namespace {

// Reverse look-ups in flight, and the most seen at once: one per live
// resolver thread, so the peak shows whether the pool's bound held.
struct LookupGauge {
    std::atomic<int> inFlight{0};
    std::atomic<int> peak{0};
    std::atomic<std::uint64_t> started{0};
    std::atomic<std::uint64_t> named{0};
};

struct ProcessStatus {
    std::uint64_t rssKb = 0;
    std::uint64_t hwmKb = 0;
    std::uint64_t threads = 0;
};

ProcessStatus readStatus() {
    ProcessStatus status;
    std::ifstream in("/proc/self/status");
    std::string key;
    std::uint64_t value = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        if (!(fields >> key >> value)) continue;
        if (key == "VmRSS:") status.rssKb = value;
        if (key == "VmHWM:") status.hwmKb = value;
        if (key == "Threads:") status.threads = value;
    }
    return status;
}

struct Totals {
    std::uint64_t senderBytes = 0;
    std::uint64_t unownedBytes = 0;
    std::size_t endpoints = 0;
};

Totals countedTotals(RecordsState& records, const std::u16string& senderPath) {
    const std::scoped_lock guard(records.RecordsLock);
    Totals totals;
    for (const AppRecord& app : records.table.records()) {
        if (app.name == senderPath) {
            totals.senderBytes = app.ulBytes + app.dlBytes;
            totals.endpoints = app.endpoints.size();
        } else if (app.name == u"UDP protocol") {
            totals.unownedBytes = app.ulBytes + app.dlBytes;
        }
    }
    return totals;
}

int failWith(const std::string& reason, const RecordingNotifier* notifier = nullptr) {
    return reportFailure("load_monitor", reason, notifier ? notifier->messages() : std::vector<std::string>());
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    std::map<std::string, std::string> args = parseOptions(argc, argv);
    const std::optional<std::uint32_t> local = parseAddress(args["local"]);
    const std::optional<std::uint32_t> firstRemote = parseAddress(args["first-remote"]);
    if (!local || !firstRemote || args["sender"].empty()) return failWith("missing or bad arguments");
    const int processes = std::stoi(args["processes"]);
    const std::uint64_t addresses = std::stoull(args["addresses"]);
    const std::uint64_t rate = std::stoull(args["rate"]);
    const std::uint64_t ipLength = 28 + std::stoull(args["payload"]);
    const std::uint16_t port = static_cast<std::uint16_t>(std::stoul(args["port"]));
    const TemporaryFolder work("sondrel-load");
    if (work.path().empty()) return failWith("no temporary folder");

    auto gauge = std::make_shared<LookupGauge>();
    auto notifier = std::make_shared<RecordingNotifier>();
    MonitorServices services;
    services.notifier = notifier;
    services.clock = std::make_shared<NoonClock>();
    services.reverseLookup = [gauge](const IpAddress& address) {
        const int now = ++gauge->inFlight;
        ++gauge->started;
        int seen = gauge->peak.load();
        while (now > seen && !gauge->peak.compare_exchange_weak(seen, now)) {
        }
        std::optional<std::string> name = systemReverseLookup(address);
        if (name) ++gauge->named;
        --gauge->inFlight;
        return name;
    };
    services.captureHelperPath = SONDREL_CAPTURE_HELPER;
    if (!args["max-endpoint-rows"].empty()) services.maxEndpointRows = std::stoull(args["max-endpoint-rows"]);
    services.settingsFolder = work.path() + "/settings";
    services.settingsDefaults = std::make_shared<SettingsDefaults>(SettingsDefaults{utf8ToU16(work.path()), *local});
    Monitor monitor(services);
    monitor.loadSettings();
    monitor.start();

    std::string error;
    // Live once a datagram from a socket of this program is counted under its path.
    const std::u16string self = utf8ToU16(selfExecutablePath());
    auto warmUp = UdpSocket::bind(*local, error);
    if (!warmUp) return failWith(error);
    const auto liveBy = std::chrono::steady_clock::now() + 20s;
    for (;;) {
        monitor.tick();
        const std::optional<AppRecord> app = findApplication(*monitor.records(), self);
        if (app && std::any_of(app->endpoints.begin(), app->endpoints.end(),
                               [&](const EndpointRecord& e) { return e.localPort == warmUp->port(); })) {
            break;
        }
        if (!notifier->messages().empty() || std::chrono::steady_clock::now() > liveBy) {
            return failWith("capture never went live", notifier.get());
        }
        warmUp->sendTo(*firstRemote, port, 10);
        std::this_thread::sleep_for(100ms);
    }

    std::vector<ChildProcess> senders;
    std::vector<std::uint16_t> senderPorts;
    const std::uint64_t perProcess = rate / std::uint64_t(processes);
    for (int p = 0; p < processes; ++p) {
        auto sender = ChildProcess::start({args["sender"], args["local"], args["first-remote"], args["addresses"],
                                           std::to_string(addresses * std::uint64_t(p) / std::uint64_t(processes)),
                                           args["port"], args["payload"], std::to_string(perProcess), args["seconds"],
                                           args["burst"]},
                                          {.input = true, .output = true}, error);
        if (!sender) return failWith(error);
        const std::optional<std::string> portLine = sender->readLine(5s);
        if (!portLine || portLine->rfind("port ", 0) != 0) return failWith("a sender did not announce its port");
        senderPorts.push_back(static_cast<std::uint16_t>(std::stoul(portLine->substr(5))));
        senders.push_back(std::move(*sender));
    }
    const std::u16string senderPath = utf8ToU16(senders.front().executablePath());
    const auto ownedBy = std::chrono::steady_clock::now() + 30s;
    // Owner events name the senders' sockets at their first datagram; passes need to see them first.
    while (monitor.captureStatus().mode != AttributionMode::Ebpf &&
           !std::all_of(senderPorts.begin(), senderPorts.end(),
                        [&](std::uint16_t p) { return monitor.ownerLookup().OwnerLookup(p, 17) == senderPath; })) {
        if (std::chrono::steady_clock::now() > ownedBy) return failWith("the senders' ports were never owned");
        monitor.tick();
        std::this_thread::sleep_for(100ms);
    }

    // Threads come and go between ticks (resolvers): a sampler catches the peak.
    std::atomic<bool> sampling{true};
    std::atomic<std::uint64_t> peakThreads{0};
    std::thread sampler([&] {
        while (sampling) {
            const std::uint64_t threads = readStatus().threads;
            if (threads > peakThreads) peakThreads = threads;
            std::this_thread::sleep_for(20ms);
        }
    });

    const ProcessStatus before = readStatus();
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (ChildProcess& sender : senders) sender.writeLine("go");
    // The main window's cadence: one tick a second.
    auto nextTick = start + 1s;
    auto nextSample = start + 10s;
    const auto running = [&] {
        return std::any_of(senders.begin(), senders.end(), [](ChildProcess& s) { return !s.poll().has_value(); });
    };
    while (running()) {
        std::this_thread::sleep_until(nextTick);
        nextTick += 1s;
        monitor.tick();
        if (std::chrono::steady_clock::now() >= nextSample) {
            const ProcessStatus now = readStatus();
            const Totals totals = countedTotals(*monitor.records(), senderPath);
            std::printf("sample t=%lld rss_kb=%llu threads=%llu endpoints=%zu lookups_started=%llu\n",
                        static_cast<long long>((nextSample - start) / 1s), (unsigned long long)now.rssKb,
                        (unsigned long long)now.threads, totals.endpoints,
                        (unsigned long long)gauge->started.load());
            std::fflush(stdout);
            nextSample += 10s;
        }
    }
    const double sendSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::uint64_t sent = 0;
    for (ChildProcess& sender : senders) {
        const std::optional<std::string> line = sender.readLine(5s);
        unsigned long long count = 0;
        double took = 0;
        if (!line || std::sscanf(line->c_str(), "sent %llu %lf", &count, &took) != 2 || sender.wait() != 0) {
            return failWith("a sender failed");
        }
        sent += count;
    }
    // What the capture ring still holds arrives within its one-second block timeout.
    Totals totals = countedTotals(*monitor.records(), senderPath);
    for (int quiet = 0; quiet < 3;) {
        std::this_thread::sleep_for(1s);
        monitor.tick();
        const Totals now = countedTotals(*monitor.records(), senderPath);
        quiet = now.senderBytes == totals.senderBytes ? quiet + 1 : 0;
        totals = now;
    }
    const double cpu = cpuSeconds() - cpuBefore;
    sampling = false;
    sampler.join();
    const ProcessStatus after = readStatus();
    const CaptureStatus capture = monitor.captureStatus();
    monitor.stop();

    std::printf("result sent=%llu counted=%llu counted_remainder=%llu unowned_bytes=%llu endpoints=%zu send_seconds=%.1f "
                "cpu_seconds=%.1f rss_before_kb=%llu rss_after_kb=%llu vmhwm_kb=%llu peak_threads=%llu "
                "peak_lookups=%d lookups_started=%llu names=%llu messages=%zu forwarded=%llu kernel_drops=%llu\n",
                (unsigned long long)sent, (unsigned long long)(totals.senderBytes / ipLength),
                (unsigned long long)(totals.senderBytes % ipLength), (unsigned long long)totals.unownedBytes,
                totals.endpoints, sendSeconds, cpu, (unsigned long long)before.rssKb, (unsigned long long)after.rssKb,
                (unsigned long long)after.hwmKb, (unsigned long long)peakThreads.load(), gauge->peak.load(),
                (unsigned long long)gauge->started.load(), (unsigned long long)gauge->named.load(),
                notifier->messages().size(), (unsigned long long)capture.packetsCaptured,
                (unsigned long long)capture.packetsDropped);
    return 0;
}
