// The capture interface changed many times in a row while UDP traffic flows,
// run inside the sending namespace by run_interface_change_e2e.sh:
//   fault_interface_change_probe --first A --second C --remote B --port P --changes N --workdir DIR
// A and C are two addresses of the same interface; datagrams go from A to the
// sink at B:P all the time. Every change resets the statistics, so what is
// counted in a period with A selected can never exceed what was sent since
// that change began (checked over the longer periods, the short ones being
// over before the capture ring delivers anything): more would mean an old capture thread still feeding the
// queue (a packet counted twice). With C selected nothing may be counted.
// At the end every superseded capture thread must have ended.
#include <dirent.h>

#include <optional>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "tests/e2e/monitor_harness.h"

using namespace sondrel;
using namespace sondrel::e2e;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kPayload = 100;
constexpr std::uint64_t kIpLength = 28 + kPayload;

std::size_t tasksOf(const std::string& process) {
    std::size_t count = 0;
    if (DIR* tasks = ::opendir(("/proc/" + process + "/task").c_str())) {
        while (const dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.';
        ::closedir(tasks);
    }
    return count;
}

// The capture threads run in the capture helper: its threads count with ours.
std::optional<int> g_helper;

std::size_t threadCount() { return tasksOf("self") + (g_helper ? tasksOf(std::to_string(*g_helper)) : 0); }

// Resolver threads come and go within microseconds; the fewest threads seen
// over a short while are the ones that stay.
std::size_t steadyThreadCount() {
    std::size_t fewest = threadCount();
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(20ms);
        fewest = std::min(fewest, threadCount());
    }
    return fewest;
}

std::uint64_t countedBytes(RecordsState& records, std::uint64_t& applications) {
    const std::scoped_lock guard(records.RecordsLock);
    std::uint64_t bytes = 0;
    for (const AppRecord& app : records.table.records()) bytes += app.ulBytes + app.dlBytes;
    applications = records.table.size();
    return bytes;
}

int failWith(const std::string& reason, const LiveMonitor* live = nullptr) {
    std::fprintf(stderr, "FAIL: %s\n", reason.c_str());
    if (live) {
        for (const std::string& message : live->messages()) std::fprintf(stderr, "  engine said: %s\n", message.c_str());
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> args;
    for (int i = 1; i + 1 < argc; i += 2) args[std::string(argv[i]).substr(2)] = argv[i + 1];
    const std::optional<std::uint32_t> first = parseAddress(args["first"]);
    const std::optional<std::uint32_t> second = parseAddress(args["second"]);
    const std::optional<std::uint32_t> remote = parseAddress(args["remote"]);
    if (!first || !second || !remote || args["port"].empty() || args["changes"].empty() || args["workdir"].empty()) {
        return failWith("usage: --first A --second C --remote B --port P --changes N --workdir DIR");
    }
    const auto port = static_cast<std::uint16_t>(std::stoul(args["port"]));
    const int changes = std::stoi(args["changes"]);
    std::string error;

    LiveMonitor::Options options;
    options.localAddress = *first;
    options.workFolder = args["workdir"];
    LiveMonitor live(options);
    auto warmUp = UdpSocket::bind(*first, error);
    if (!warmUp) return failWith(error);
    if (!live.waitUntilLive(*warmUp, *remote, port, 10, 20s)) return failWith("capture never went live", &live);
    g_helper = live.helperProcess();
    if (!g_helper) return failWith("no capture helper runs", &live);
    const std::size_t baseline = steadyThreadCount();

    auto senderSocket = UdpSocket::bind(*first, error);
    if (!senderSocket) return failWith(error);
    std::atomic<std::uint64_t> sent{0};
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        while (sending) {
            if (senderSocket->sendTo(*remote, port, kPayload)) ++sent;
            std::this_thread::sleep_for(200us);
        }
    });

    int failures = 0;
    std::uint64_t countedWithFirst = 0;
    std::uint64_t sentWithFirst = 0;
    std::size_t mostThreads = baseline;
    double highestShare = 0;
    for (int change = 1; change <= changes; ++change) {
        const bool toFirst = change % 2 == 0;
        const std::uint64_t sentBefore = sent;
        if (!live.monitor().applyOptions(CaptureSet::ofAddress(toFirst ? *first : *second), 0, u"")) {
            std::fprintf(stderr, "change %d: the settings file was not written\n", change);
            ++failures;
        }
        // Most changes follow each other at once; every tenth period lasts long
        // enough for the capture ring's one-second block timeout to hand over frames.
        const int ticks = change % 10 == 0 ? 16 : 3;
        for (int tick = 0; tick < ticks; ++tick) {
            std::this_thread::sleep_for(change % 10 == 0 ? 100ms : 50ms);
            live.monitor().tick();
            mostThreads = std::max(mostThreads, threadCount());
        }
        const std::uint64_t sentDuring = sent - sentBefore;
        std::uint64_t applications = 0;
        const std::uint64_t bytes = countedBytes(live.records(), applications);
        const std::uint64_t counted = bytes / kIpLength;
        if (bytes % kIpLength != 0) {
            std::fprintf(stderr, "change %d: %llu bytes are not whole datagrams\n", change, (unsigned long long)bytes);
            ++failures;
        }
        if (toFirst) {
            countedWithFirst += counted;
            sentWithFirst += sentDuring;
            if (sentDuring > 0) highestShare = std::max(highestShare, double(counted) / double(sentDuring));
            if (counted > sentDuring) {
                std::fprintf(stderr, "change %d: counted %llu datagrams, only %llu were sent since the change\n", change,
                             (unsigned long long)counted, (unsigned long long)sentDuring);
                ++failures;
            }
        } else if (bytes != 0) {
            std::fprintf(stderr, "change %d: %llu bytes counted for an address that sends nothing\n", change,
                         (unsigned long long)bytes);
            ++failures;
        }
    }
    sending = false;
    sender.join();

    if (!live.messages().empty()) return failWith("the engine raised a message", &live);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::size_t threads = threadCount();
    while (threads > baseline && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        threads = threadCount();
    }
    if (threads > baseline) {
        std::fprintf(stderr, "%zu threads 10 s after the last change, %zu before the first\n", threads, baseline);
        ++failures;
    }
    // A change that counted nothing at all would prove nothing.
    if (countedWithFirst == 0) return failWith("nothing was counted in any period on the sending address", &live);
    std::printf("%d changes: %llu of %llu datagrams counted while the sending address was selected "
                "(at most %.0f%% of one period's); threads %zu before, at most %zu during, %zu after\n",
                changes, (unsigned long long)countedWithFirst, (unsigned long long)sentWithFirst, 100 * highestShare, baseline, mostThreads,
                threads);
    return failures == 0 ? 0 : 1;
}
