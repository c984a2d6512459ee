#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "base/notifier.h"
#include "discovery/owner_lookup.h"

namespace sondrel {

// Which application owns which local port: one detached worker refreshes
// PortOwnerMap from the socket tables under the proc root every 300 ms; the
// UI thread asks OwnerLookup once per packet.
//
// The worker keeps the shared state alive through a shared_ptr, so this
// object may be destroyed while a pass is under way; destruction clears
// DiscoveryEnabled, and the worker ends after that pass.
class OwnerDiscovery final : public OwnerLookupService {
public:
    explicit OwnerDiscovery(std::string procRoot = "/proc",
                            std::shared_ptr<Notifier> notifier = std::make_shared<StderrNotifier>());
    ~OwnerDiscovery() override;
    OwnerDiscovery(const OwnerDiscovery&) = delete;
    OwnerDiscovery& operator=(const OwnerDiscovery&) = delete;

    // 0: the worker was started (or already runs). -1: the socket tables
    // cannot be read; the warning was shown and no worker runs.
    int StartOwnerDiscovery();

    // The exit command: the worker ends after the pass under way.
    void stopOwnerDiscovery();

    // TCP (6) and UDP (17): the label last seen for the port, else "TCP
    // protocol" / "UDP protocol". Any other protocol: its name, port ignored.
    std::u16string OwnerLookup(std::uint16_t localPort, std::uint16_t protocol) const override;

    bool discoveryEnabled() const;
    // Passes finished so far, and waits for the exit path and the tests.
    std::uint64_t completedPasses() const;
    bool waitForPasses(std::uint64_t count, std::chrono::milliseconds timeout) const;
    bool waitForWorkerEnd(std::chrono::milliseconds timeout) const;
    // Worker threads started and not yet ended.
    int workersRunning() const;

    // Shared by this object and the worker thread; defined beside the worker.
    struct State;

private:
    std::shared_ptr<State> m_state;
};

}  // namespace sondrel
