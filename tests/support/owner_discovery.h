#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "base/notifier.h"
#include "engine/owners/owner_claims.h"
#include "probe/discovery/owner_scan_worker.h"
#include "engine/owners/owner_source.h"

namespace sondrel {

// Owner discovery within this process: the worker reads the tables under a
// proc root and its claims go straight into the claim table that answers
// OwnerLookup. The capture helper runs the same worker with the pipe as sink.
class OwnerDiscovery final : public OwnerSource {
public:
    explicit OwnerDiscovery(std::string procRoot = "/proc",
                            std::shared_ptr<Notifier> notifier = std::make_shared<StderrNotifier>());
    ~OwnerDiscovery() override;
    OwnerDiscovery(const OwnerDiscovery&) = delete;
    OwnerDiscovery& operator=(const OwnerDiscovery&) = delete;

    int StartOwnerDiscovery() override;
    // The exit command: the worker ends after the pass under way, and from
    // now on TCP and UDP ports are named "TCP protocol" and "UDP protocol".
    void StopOwnerDiscovery() override;

    OwnerLabel lookupOwner(const OwnerQuery& query) const override;
    OwnerLabel takePacketSender(const PacketRecord& record) const override;
    std::int64_t claimsCompleteUpTo() const override;

    void requestPass() { m_worker.requestPass(); }
    bool DiscoveryEnabled() const;
    std::uint64_t completedPasses() const { return m_worker.completedPasses(); }
    bool waitForPasses(std::uint64_t count, std::chrono::milliseconds timeout) const {
        return m_worker.waitForPasses(count, timeout);
    }
    bool waitForWorkerEnd(std::chrono::milliseconds timeout) const { return m_worker.waitForWorkerEnd(timeout); }
    int workersRunning() const { return m_worker.workersRunning(); }

    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
    OwnerScanWorker m_worker;
};

}  // namespace sondrel
