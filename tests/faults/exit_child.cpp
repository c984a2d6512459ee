// The exit sequence at the worst moment, in a process of its own so that the
// test can time its end and read what the sanitizers say:
//   fault_exit_child PROC_ROOT WORK_FOLDER
// The capture thread sits in a dispatch on an idle interface, 200 resolver
// threads wait in a reverse look-up that takes 5 s, and the discovery worker
// is held inside its first pass by PROC_ROOT/net/udp6, a FIFO whose writer is
// this program. The worker is let go only after the Monitor is destroyed, so
// the rest of its pass runs while the process ends.
// Prints one line per state reached; "exiting" marks the start of the exit
// sequence. Anything wrong goes to stderr with a non-zero status.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/in_process_sources.h"
#include "engine/monitor.h"
#include "config/settings.h"
#include "tests/support/owner_discovery.h"
#include "tests/support/idle_capture_library.h"

using namespace sondrel;
using namespace std::chrono_literals;
using sondrel::testing::idle;
using sondrel::testing::IdleInterface;
using sondrel::testing::idleLibrary;

namespace {

constexpr auto kPatience = 30s;
constexpr int kResolvers = 200;
constexpr auto kLookupTime = 5s;
const char* const kLocal = "10.0.0.1";

// Counts the look-ups that have begun; each then takes kLookupTime. Held by
// the resolver threads through the look-up function's copy of the pointer.
struct SlowLookups {
    std::mutex lock;
    std::condition_variable changed;
    int started = 0;
};

class NoonClock final : public Clock {
public:
    std::optional<LocalTime> now() const override { return LocalTime{2027, 3, 10, 12, 0, 0}; }
};

int fail(const std::string& reason) {
    std::fprintf(stderr, "fault_exit_child: %s\n", reason.c_str());
    return 1;
}

void say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

// The FIFO's write end, once the discovery worker has opened it for reading.
int waitForDiscoveryReader(const std::string& fifo) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno != ENXIO) return -1;
        std::this_thread::sleep_for(1ms);
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return fail("usage: fault_exit_child PROC_ROOT WORK_FOLDER");
    const std::string procRoot = argv[1];
    const std::string work = argv[2];

    auto lookups = std::make_shared<SlowLookups>();
    MonitorServices services;
    services.notifier = std::make_shared<StderrNotifier>();
    services.clock = std::make_shared<NoonClock>();
    services.reverseLookup = [lookups](const IpAddress&) {
        {
            const std::scoped_lock guard(lookups->lock);
            ++lookups->started;
        }
        lookups->changed.notify_all();
        std::this_thread::sleep_for(kLookupTime);
        return std::optional<std::string>("slow.invalid");
    };
    services.settingsFolder = work + "/settings";
    services.settingsDefaults = std::make_shared<SettingsDefaults>(SettingsDefaults{u"/nonexistent", inet_addr(kLocal)});
    services.makeSources = inProcessSources(procRoot, idleLibrary);

    auto monitor = std::make_unique<Monitor>(services);
    monitor->loadSettings();
    monitor->start();
    const auto& discovery = dynamic_cast<const OwnerDiscovery&>(monitor->ownerLookup());

    {
        IdleInterface& i = idle();
        std::unique_lock guard(i.lock);
        if (!i.changed.wait_for(guard, kPatience, [&] { return i.dispatching; })) return fail("capture never dispatched");
    }
    say("capture idle in dispatch");

    for (int n = 0; n < kResolvers; ++n) {
        const std::uint32_t remote = htonl((198u << 24) | (18u << 16) | std::uint32_t(n));
        monitor->capture().queue.push({inet_addr(kLocal), remote, 100, 53, std::uint16_t(40000 + n), 17});
    }
    monitor->tick();
    {
        std::unique_lock guard(lookups->lock);
        if (!lookups->changed.wait_for(guard, kPatience, [&] { return lookups->started == kResolvers; })) {
            return fail(std::to_string(lookups->started) + " look-ups started, not " + std::to_string(kResolvers));
        }
    }
    say("200 resolvers waiting");

    const int gate = waitForDiscoveryReader(procRoot + "/net/udp6");
    if (gate < 0) return fail("the discovery worker never opened net/udp6");
    if (discovery.completedPasses() != 0) return fail("a discovery pass finished before the gate");
    say("discovery mid-pass");

    say("exiting");
    monitor->stop();
    std::this_thread::sleep_for(500ms);
    {
        IdleInterface& i = idle();
        const std::scoped_lock guard(i.lock);
        if (i.closed) say("capture handle closed");
    }
    if (!discovery.waitForWorkerEnd(0ms)) say("discovery still in its pass");
    monitor.reset();

    // The worker reads the rest of its tables and walks the tree while main returns.
    const std::string header = "  sl  local_address                         remote_address                        st\n";
    if (::write(gate, header.data(), header.size()) != ssize_t(header.size())) return fail("write to the FIFO failed");
    ::close(gate);
    return 0;
}
