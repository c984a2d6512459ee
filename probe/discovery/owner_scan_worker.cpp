#include "probe/discovery/owner_scan_worker.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "base/file_descriptor.h"
#include "probe/discovery/claim_tracker.h"
#include "probe/discovery/owner_table_scanner.h"
#include "probe/discovery/process_snapshot.h"
#include "probe/discovery/tunnel_links.h"
#include "probe/discovery/tunnel_ports.h"

namespace sondrel {

struct OwnerScanWorker::State {
    State(std::string root, std::shared_ptr<ClaimSink> sinkIn, std::shared_ptr<Notifier> notifierIn, PassGuard guardIn)
        : procRoot(std::move(root)), sink(std::move(sinkIn)), notifier(std::move(notifierIn)), guard(std::move(guardIn)) {}

    const std::string procRoot;
    const std::shared_ptr<ClaimSink> sink;
    const std::shared_ptr<Notifier> notifier;
    const PassGuard guard;

    std::atomic<bool> DiscoveryEnabled{false};

    // What passes and events have claimed; the lock also keeps each batch of
    // claims and its completion mark together on their way to the sink.
    std::mutex trackerLock;
    ClaimTracker tracker;
    std::vector<OwnerClaim> eventClaims;
    // Also under trackerLock: the worker and the owner events both read the
    // tunnels. Only the live kernel has them, not a tree standing in for /proc.
    const bool readTunnels = procRoot == "/proc";
    TunnelLinkReader tunnelReader;
    std::vector<TunnelLink> tunnelLinks;
    TunnelPorts tunnels;
    std::int64_t tunnelsReadNs = std::numeric_limits<std::int64_t>::min();
    // Also under trackerLock. Once owner events run and a first pass has told
    // the sockets that were there before them, completion is the events' to
    // say: a pass knows nothing of the events not yet read (packet-socket
    // frames above all), and marking its own time complete would let the
    // window count packets ahead of them.
    bool passedOnce = false;
    bool eventsRunning = false;

    // Guarded by lock: requests, pass progress and the worker's life.
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    bool periodic = true;
    bool passRequested = false;
    std::uint64_t passes = 0;
    int workersRunning = 0;  // one at most; counted so that a second one would show
    bool workerStarted = false;
};

std::int64_t realtimeNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

namespace {

using Clock = std::chrono::steady_clock;

void finishWorker(OwnerScanWorker::State& state) {
    {
        const std::scoped_lock guard(state.lock);
        --state.workersRunning;
    }
    state.changed.notify_all();
    state.sink->discoveryEnded();
}

// Unowned sockets first: where a readable and an unreadable socket share a
// port, the owner that can be named is the better answer.
void collectSeen(const OwnerTableScanner& scanner, std::vector<SeenSocket>& seen) {
    seen.clear();
    const auto add = [&](const OwnedPort& port, const std::u16string* label) {
        seen.push_back(SeenSocket{port.protocol, port.localPort, port.carries, port.pid, label, port.inode, port.raw,
                                  port.localAddress});
    };
    for (const OwnedPort& port : scanner.unownedPorts()) add(port, nullptr);
    for (const OwnedPort& port : scanner.ownedPorts()) add(port, &scanner.label(port));
}

void askForPass(OwnerScanWorker::State& state) {
    {
        const std::scoped_lock guard(state.lock);
        if (state.passRequested) return;
        state.passRequested = true;
    }
    state.changed.notify_all();
}

enum class Wake { Pass, Tunnels, End };

// Waits for the next pass: the period, a request (no sooner than the
// on-demand gap after the last pass), or the end; or for the tunnels' turn.
Wake waitForWork(OwnerScanWorker::State& state, Clock::time_point lastPass, Clock::time_point tunnelsDue) {
    std::unique_lock lock(state.lock);
    for (;;) {
        if (!state.DiscoveryEnabled) return Wake::End;
        const Clock::time_point now = Clock::now();
        const auto gap = state.periodic ? OwnerScanWorker::kMinOnDemandGap : OwnerScanWorker::kMinOnDemandGapWithEvents;
        if (state.passRequested && now >= lastPass + gap) break;
        if (state.periodic && now >= lastPass + OwnerScanWorker::kPassPeriod) break;
        if (state.readTunnels && now >= tunnelsDue) return Wake::Tunnels;
        Clock::time_point until = Clock::time_point::max();
        if (state.periodic) until = lastPass + OwnerScanWorker::kPassPeriod;
        if (state.passRequested) until = std::min(until, lastPass + gap);
        if (state.readTunnels) until = std::min(until, tunnelsDue);
        if (until == Clock::time_point::max()) {
            state.changed.wait(lock);
        } else {
            state.changed.wait_until(lock, until);
        }
    }
    state.passRequested = false;
    return Wake::Pass;
}

// Reads the tunnels again (when the kernel announced a change, or made a
// socket of its own) and claims their ports; under trackerLock. A pass hands
// in `kernelHeld`, the UDP ports it found held by no process, among which
// WireGuard interfaces of unknown port are looked for. True when a pass
// should follow: a port was released (its next holder must be found), or an
// interface's port is still to be found among sockets new since the last pass.
bool refreshTunnels(OwnerScanWorker::State& state, const std::vector<std::uint16_t>* kernelHeld, bool newKernelSocket,
                    std::int64_t notBeforeNs, std::vector<OwnerClaim>& claims) {
    const std::int64_t readAt = realtimeNs();
    // A new kernel socket may come before its interface's announcement;
    // sockets that a read after them has seen need no other.
    const bool unseenSocket = newKernelSocket && state.tunnelsReadNs < notBeforeNs;
    bool changed = false;
    if (state.tunnelReader.mayHaveChanged() || unseenSocket) {
        state.tunnelsReadNs = readAt;
        changed = state.tunnelReader.read(state.tunnelLinks) && state.tunnels.update(state.tunnelLinks);
    }
    if (kernelHeld != nullptr) changed = state.tunnels.updateKernelHeld(*kernelHeld) || changed;
    const bool released = state.tracker.observeTunnels(state.tunnels.ports(), readAt, notBeforeNs, claims);
    return released || ((changed || unseenSocket) && state.tunnels.portMissing());
}

void claimTunnels(OwnerScanWorker::State& state, bool newKernelSocket, std::int64_t notBeforeNs) {
    const std::scoped_lock guard(state.trackerLock);
    auto& claims = state.eventClaims;
    claims.clear();
    const bool passWanted = refreshTunnels(state, nullptr, newKernelSocket, notBeforeNs, claims);
    if (!claims.empty()) state.sink->ownerClaims(claims);
    if (passWanted) askForPass(state);
}

void collectKernelHeld(const OwnerTableScanner& scanner, std::vector<std::uint16_t>& ports) {
    ports.clear();
    for (const OwnedPort& port : scanner.unownedPorts()) {
        if (port.protocol == 17) ports.push_back(port.localPort);
    }
}

void OwnerWorker(std::shared_ptr<OwnerScanWorker::State> state) {
    if (state->guard.threadStart) state->guard.threadStart();
    OwnerTableScanner scanner(state->procRoot, state->procRoot == "/proc" ? RowSource::SocketDiagThenTableFiles
                                                                          : RowSource::TableFiles);
    std::vector<SeenSocket> seen;
    std::vector<OwnerClaim> claims;
    std::vector<std::uint16_t> kernelHeld;
    Clock::time_point lastPass = Clock::now();
    Clock::time_point lastTunnels = lastPass;
    for (bool first = true;; first = false) {
        const Wake wake =
            first ? Wake::Pass : waitForWork(*state, lastPass, lastTunnels + OwnerScanWorker::kTunnelPeriod);
        if (wake == Wake::End) break;
        lastTunnels = Clock::now();
        if (wake == Wake::Tunnels) {
            claimTunnels(*state, false, std::numeric_limits<std::int64_t>::min());
            continue;
        }
        lastPass = lastTunnels;
        const std::int64_t seenAt = realtimeNs();
        if (state->guard.enter) state->guard.enter();
        const ScanStatus status = scanner.scan();
        std::unique_lock trackerGuard(state->trackerLock);
        claims.clear();
        if (status == ScanStatus::Ok) {
            // Before the pass's own sightings, so that a tunnel's socket is not
            // taken for an unowned one; the pass itself finds a released port's holder.
            if (state->readTunnels) {
                collectKernelHeld(scanner, kernelHeld);
                refreshTunnels(*state, &kernelHeld, false, std::numeric_limits<std::int64_t>::min(), claims);
            }
            collectSeen(scanner, seen);
            state->tracker.observePass(seen, seenAt, [&](int pid) { return processStartTimeNs(state->procRoot, pid); },
                                       claims);
        }
        if (state->guard.leave) state->guard.leave();
        if (status == ScanStatus::TcpTableUnreadable) {
            state->notifier->showMessage(u"ERROR", u"Failed to get TCP Table #1", MessageIcon::None);
            break;
        }
        // A vanished UDP table ends the worker too, silently: the owners seen stay.
        if (status == ScanStatus::UdpTableUnreadable) break;
        if (!claims.empty()) state->sink->ownerClaims(claims);
        if (!state->passedOnce || !state->eventsRunning) state->sink->claimsComplete(seenAt);
        state->passedOnce = true;
        trackerGuard.unlock();
        {
            const std::scoped_lock guard(state->lock);
            ++state->passes;
        }
        state->changed.notify_all();
    }
    finishWorker(*state);
}

// The first slice is proof enough: a whole table costs a walk of the kernel's
// socket hash per 4 KiB read.
bool tableReadable(const std::string& path) {
    const FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::array<char, 4096> slice;
    return file.valid() && read(file.get(), slice.data(), slice.size()) >= 0;
}

bool tablesReadable(const std::string& procRoot) {
    return tableReadable(procRoot + "/net/tcp") && tableReadable(procRoot + "/net/udp");
}

}  // namespace

OwnerScanWorker::OwnerScanWorker(std::string procRoot, std::shared_ptr<ClaimSink> sink,
                                 std::shared_ptr<Notifier> notifier, PassGuard guard)
    : m_state(std::make_shared<State>(std::move(procRoot), std::move(sink), std::move(notifier), std::move(guard))) {}

OwnerScanWorker::~OwnerScanWorker() { stop(); }

int OwnerScanWorker::start() {
    {
        const std::scoped_lock guard(m_state->lock);
        if (m_state->workerStarted) return 0;
        m_state->workerStarted = true;
    }
    if (m_state->guard.enter) m_state->guard.enter();
    const bool readable = tablesReadable(m_state->procRoot);
    if (m_state->guard.leave) m_state->guard.leave();
    if (!readable) {
        m_state->notifier->showMessage(u"Warning", u"Process names will not be shown - requires a readable /proc file system.",
                                       MessageIcon::Warning);
        m_state->sink->discoveryEnded();
        return -1;
    }
    {
        const std::scoped_lock guard(m_state->lock);
        ++m_state->workersRunning;
    }
    m_state->DiscoveryEnabled = true;
    std::thread(OwnerWorker, m_state).detach();
    return 0;
}

void OwnerScanWorker::stop() {
    {
        // Under the lock so the worker cannot miss the wake-up between its test and its wait.
        const std::scoped_lock guard(m_state->lock);
        m_state->DiscoveryEnabled = false;
    }
    m_state->changed.notify_all();
}

void OwnerScanWorker::setPeriodic(bool periodic) {
    {
        const std::scoped_lock guard(m_state->lock);
        m_state->periodic = periodic;
    }
    m_state->changed.notify_all();
}

void OwnerScanWorker::requestPass() { askForPass(*m_state); }

void OwnerScanWorker::observeEvent(const SeenSocket& socket, std::int64_t atNs) {
    const std::scoped_lock guard(m_state->trackerLock);
    auto& claims = m_state->eventClaims;
    claims.clear();
    m_state->tracker.observeEvent(socket, atNs, claims);
    if (!claims.empty()) m_state->sink->ownerClaims(claims);
}

void OwnerScanWorker::eventsComplete(std::int64_t upToNs) {
    const std::scoped_lock guard(m_state->trackerLock);
    m_state->eventsRunning = true;
    if (m_state->passedOnce) m_state->sink->claimsComplete(upToNs);
}

void OwnerScanWorker::observeKernelSocket(std::uint16_t protocol, std::int64_t atNs) {
    if (protocol == 17 && m_state->readTunnels) claimTunnels(*m_state, true, atNs);
}

bool OwnerScanWorker::running() const {
    const std::scoped_lock guard(m_state->lock);
    return m_state->workersRunning > 0;
}

int OwnerScanWorker::workersRunning() const {
    const std::scoped_lock guard(m_state->lock);
    return m_state->workersRunning;
}

std::uint64_t OwnerScanWorker::completedPasses() const {
    const std::scoped_lock guard(m_state->lock);
    return m_state->passes;
}

bool OwnerScanWorker::waitForPasses(std::uint64_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_state->lock);
    return m_state->changed.wait_for(lock, timeout, [&] { return m_state->passes >= count || m_state->workersRunning == 0; }) &&
           m_state->passes >= count;
}

bool OwnerScanWorker::waitForWorkerEnd(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_state->lock);
    return m_state->changed.wait_for(lock, timeout, [&] { return m_state->workersRunning == 0; });
}

}  // namespace sondrel
