#include "probe/discovery/owner_scan_worker.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "base/file_descriptor.h"
#include "probe/discovery/claim_tracker.h"
#include "probe/discovery/owner_table_scanner.h"
#include "probe/discovery/process_snapshot.h"

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
    for (const OwnedPort& port : scanner.unownedPorts())
        seen.push_back(SeenSocket{port.protocol, port.localPort, port.carries, 0, nullptr, port.inode});
    for (const OwnedPort& port : scanner.ownedPorts())
        seen.push_back(SeenSocket{port.protocol, port.localPort, port.carries, port.pid, &scanner.label(port), port.inode});
}

// Waits for the next pass: the period, a request (no sooner than the
// on-demand gap after the last pass), or the end. False when the worker must end.
bool waitForNextPass(OwnerScanWorker::State& state, Clock::time_point lastPass) {
    std::unique_lock lock(state.lock);
    for (;;) {
        if (!state.DiscoveryEnabled) return false;
        const Clock::time_point now = Clock::now();
        const auto gap = state.periodic ? OwnerScanWorker::kMinOnDemandGap : OwnerScanWorker::kMinOnDemandGapWithEvents;
        if (state.passRequested && now >= lastPass + gap) break;
        if (state.periodic && now >= lastPass + OwnerScanWorker::kPassPeriod) break;
        Clock::time_point until = Clock::time_point::max();
        if (state.periodic) until = lastPass + OwnerScanWorker::kPassPeriod;
        if (state.passRequested) until = std::min(until, lastPass + gap);
        if (until == Clock::time_point::max()) {
            state.changed.wait(lock);
        } else {
            state.changed.wait_until(lock, until);
        }
    }
    state.passRequested = false;
    return true;
}

void OwnerWorker(std::shared_ptr<OwnerScanWorker::State> state) {
    if (state->guard.threadStart) state->guard.threadStart();
    OwnerTableScanner scanner(state->procRoot, state->procRoot == "/proc" ? RowSource::SocketDiagThenTableFiles
                                                                          : RowSource::TableFiles);
    std::vector<SeenSocket> seen;
    std::vector<OwnerClaim> claims;
    Clock::time_point lastPass = Clock::now();
    bool first = true;
    while (first || waitForNextPass(*state, lastPass)) {
        first = false;
        lastPass = Clock::now();
        const std::int64_t seenAt = realtimeNs();
        if (state->guard.enter) state->guard.enter();
        const ScanStatus status = scanner.scan();
        std::unique_lock trackerGuard(state->trackerLock);
        claims.clear();
        if (status == ScanStatus::Ok) {
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
        state->sink->claimsComplete(seenAt);
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

void OwnerScanWorker::requestPass() {
    {
        const std::scoped_lock guard(m_state->lock);
        if (m_state->passRequested) return;
        m_state->passRequested = true;
    }
    m_state->changed.notify_all();
}

void OwnerScanWorker::observeEvent(const SeenSocket& socket, std::int64_t atNs) {
    const std::scoped_lock guard(m_state->trackerLock);
    auto& claims = m_state->eventClaims;
    claims.clear();
    m_state->tracker.observeEvent(socket, atNs, claims);
    if (!claims.empty()) m_state->sink->ownerClaims(claims);
}

void OwnerScanWorker::eventsComplete(std::int64_t upToNs) {
    const std::scoped_lock guard(m_state->trackerLock);
    m_state->sink->claimsComplete(upToNs);
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
