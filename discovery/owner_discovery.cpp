#include "discovery/owner_discovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <bitset>
#include <mutex>
#include <thread>
#include <vector>

#include "discovery/owner_table_scanner.h"
#include "discovery/proc_files.h"
#include "discovery/protocol_names.h"

namespace sondrel {

struct OwnerDiscovery::State {
    State(std::string root, std::shared_ptr<Notifier> notifierIn)
        : procRoot(std::move(root)), notifier(std::move(notifierIn)) {}

    const std::string procRoot;
    const std::shared_ptr<Notifier> notifier;

    mutable std::mutex OwnerMapLock;
    // Guarded by OwnerMapLock. One slot per port number instead of an ordered
    // map: the look-up runs once per packet, and nothing iterates the ports.
    struct {
        std::vector<std::u16string> labels = std::vector<std::u16string>(65536);
        std::bitset<65536> known;
    } PortOwnerMap;
    std::atomic<bool> DiscoveryEnabled{false};

    // Pass progress and the worker's end, for waiters; guarded by progressLock.
    mutable std::mutex progressLock;
    mutable std::condition_variable progressChanged;
    std::uint64_t passes = 0;
    int workersRunning = 0;  // one at most; counted so that a second one would show
    bool workerStarted = false;
};

namespace {

constexpr auto kPassPeriod = std::chrono::milliseconds(300);
constexpr std::uint16_t kProtocolTcp = 6;
constexpr std::uint16_t kProtocolUdp = 17;

void finishWorker(OwnerDiscovery::State& state) {
    {
        const std::scoped_lock guard(state.progressLock);
        --state.workersRunning;
    }
    state.progressChanged.notify_all();
}

void applyPass(OwnerDiscovery::State& state, const OwnerTableScanner& scanner) {
    // Only this worker writes the map, and it already holds what these rows store.
    if (scanner.sameAsPreviousScan()) return;
    // One lock per row, so OwnerLookup on the UI thread never waits for a whole pass.
    for (const OwnedPort& port : scanner.ownedPorts()) {
        const std::u16string& label = scanner.label(port);
        const std::scoped_lock guard(state.OwnerMapLock);
        state.PortOwnerMap.known.set(port.localPort);
        auto& stored = state.PortOwnerMap.labels[port.localPort];
        if (stored != label) stored = label;
    }
}

void OwnerWorker(std::shared_ptr<OwnerDiscovery::State> state) {
    OwnerTableScanner scanner(state->procRoot, state->procRoot == "/proc" ? RowSource::SocketDiagThenTableFiles
                                                                          : RowSource::TableFiles);
    while (state->DiscoveryEnabled) {
        const ScanStatus status = scanner.scan();
        if (status == ScanStatus::TcpTableUnreadable) {
            state->notifier->showMessage(u"ERROR", u"Failed to get TCP Table #1", MessageIcon::None);
            break;
        }
        // A vanished UDP table ends the worker too, silently: the map keeps its labels.
        if (status == ScanStatus::UdpTableUnreadable) break;
        applyPass(*state, scanner);
        std::unique_lock lock(state->progressLock);
        ++state->passes;
        state->progressChanged.notify_all();
        state->progressChanged.wait_for(lock, kPassPeriod, [&] { return !state->DiscoveryEnabled; });
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

OwnerDiscovery::OwnerDiscovery(std::string procRoot, std::shared_ptr<Notifier> notifier)
    : m_state(std::make_shared<State>(std::move(procRoot), std::move(notifier))) {}

OwnerDiscovery::~OwnerDiscovery() { stopOwnerDiscovery(); }

int OwnerDiscovery::StartOwnerDiscovery() {
    {
        const std::scoped_lock guard(m_state->progressLock);
        if (m_state->workerStarted) return 0;
    }
    if (!tablesReadable(m_state->procRoot)) {
        m_state->notifier->showMessage(u"Warning", u"Process names will not be shown - requires a readable /proc file system.",
                                       MessageIcon::Warning);
        return -1;
    }
    {
        const std::scoped_lock guard(m_state->progressLock);
        m_state->workerStarted = true;
        ++m_state->workersRunning;
    }
    m_state->DiscoveryEnabled = true;
    std::thread(OwnerWorker, m_state).detach();
    return 0;
}

void OwnerDiscovery::stopOwnerDiscovery() {
    {
        // Under the lock so the worker cannot miss the wake-up between its test and its wait.
        const std::scoped_lock guard(m_state->progressLock);
        m_state->DiscoveryEnabled = false;
    }
    m_state->progressChanged.notify_all();
}

std::u16string OwnerDiscovery::OwnerLookup(std::uint16_t localPort, std::uint16_t protocol) const {
    if (protocol != kProtocolTcp && protocol != kProtocolUdp) return GetProtocolName(protocol);
    if (m_state->DiscoveryEnabled) {
        const std::scoped_lock guard(m_state->OwnerMapLock);
        if (m_state->PortOwnerMap.known.test(localPort)) return m_state->PortOwnerMap.labels[localPort];
    }
    return protocol == kProtocolTcp ? u"TCP protocol" : u"UDP protocol";
}

bool OwnerDiscovery::discoveryEnabled() const { return m_state->DiscoveryEnabled; }

std::uint64_t OwnerDiscovery::completedPasses() const {
    const std::scoped_lock guard(m_state->progressLock);
    return m_state->passes;
}

bool OwnerDiscovery::waitForPasses(std::uint64_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_state->progressLock);
    return m_state->progressChanged.wait_for(lock, timeout,
                                             [&] { return m_state->passes >= count || m_state->workersRunning == 0; }) &&
           m_state->passes >= count;
}

bool OwnerDiscovery::waitForWorkerEnd(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_state->progressLock);
    return m_state->progressChanged.wait_for(lock, timeout, [&] { return m_state->workersRunning == 0; });
}

int OwnerDiscovery::workersRunning() const {
    const std::scoped_lock guard(m_state->progressLock);
    return m_state->workersRunning;
}

}  // namespace sondrel
