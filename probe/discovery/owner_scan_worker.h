#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/notifier.h"
#include "probe/discovery/claim_sink.h"
#include "probe/discovery/claim_tracker.h"

namespace sondrel {

// The discovery worker: one detached thread that reads the socket tables and
// the process list under a proc root, every 300 ms and whenever a packet's
// port has no owner yet, and sends the owner claims that changed. On the
// live /proc it also claims the UDP ports of the kernel's tunnels.
//
// The thread keeps its state alive through a shared_ptr, so this object may
// be destroyed while a pass is under way; the worker ends after that pass.
class OwnerScanWorker {
public:
    // Run around each pass on the worker thread: the capture helper raises
    // the capabilities that reading other users' processes needs only then.
    struct PassGuard {
        std::function<void()> threadStart;  // first thing on the worker thread
        std::function<void()> enter;
        std::function<void()> leave;
    };

    OwnerScanWorker(std::string procRoot, std::shared_ptr<ClaimSink> sink, std::shared_ptr<Notifier> notifier,
                    PassGuard guard = {});
    ~OwnerScanWorker();
    OwnerScanWorker(const OwnerScanWorker&) = delete;
    OwnerScanWorker& operator=(const OwnerScanWorker&) = delete;

    // 0: the worker was started (or already runs). -1: the socket tables
    // cannot be read; the warning was shown, the sink told, and no worker runs.
    int start();
    // The worker ends after the pass under way.
    void stop();

    // Passes every 300 ms (the default) or only at start and on request,
    // when owner events report new sockets as they appear; then a request
    // runs at most one pass per second.
    void setPeriodic(bool periodic);
    // A packet's port has no owner: a pass soon, at most one per
    // kMinOnDemandGap so a flood of unknown ports cannot keep a core busy.
    void requestPass();

    // An owner event: the process used the socket at `atNs`. Its claim goes
    // to the sink in order with those of the passes.
    void observeEvent(const SeenSocket& socket, std::int64_t atNs);
    // Every owner event up to `upToNs` has been observed.
    void eventsComplete(std::int64_t upToNs);
    // The kernel opened a socket of its own (no file refers to it) at `atNs`,
    // in the context of whichever process asked for it: for UDP, a tunnel's
    // as its interface came up. That process is not its owner; the tunnels
    // are read again at once, and their claims go out before the events' mark.
    void observeKernelSocket(std::uint16_t protocol, std::int64_t atNs);

    bool running() const;
    // Worker threads started and not yet ended.
    int workersRunning() const;
    std::uint64_t completedPasses() const;
    bool waitForPasses(std::uint64_t count, std::chrono::milliseconds timeout) const;
    bool waitForWorkerEnd(std::chrono::milliseconds timeout) const;

    static constexpr auto kPassPeriod = std::chrono::milliseconds(300);
    static constexpr auto kMinOnDemandGap = std::chrono::milliseconds(25);
    static constexpr auto kMinOnDemandGapWithEvents = std::chrono::milliseconds(1000);
    // Tunnels come and go: on the live /proc they are read before each pass,
    // and at least this often between passes.
    static constexpr auto kTunnelPeriod = std::chrono::milliseconds(1000);

    struct State;

private:
    std::shared_ptr<State> m_state;
};

// Nanoseconds since the epoch, the time base of packets and claims.
std::int64_t realtimeNs();

}  // namespace sondrel
