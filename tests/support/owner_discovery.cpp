#include "tests/support/owner_discovery.h"

#include <atomic>

#include "base/protocol_names.h"

namespace sondrel {

// The claim table and the flags, shared with the worker thread's sink.
struct OwnerDiscovery::Shared final : ClaimSink {
    OwnerClaims claims;
    std::atomic<bool> DiscoveryEnabled{false};

    void ownerClaims(std::span<const OwnerClaim> batch) override { claims.add(batch); }
    void claimsComplete(std::int64_t upToNs) override { claims.markComplete(upToNs); }
    void discoveryEnded() override { claims.markFinal(); }
};

OwnerDiscovery::OwnerDiscovery(std::string procRoot, std::shared_ptr<Notifier> notifier)
    : m_shared(std::make_shared<Shared>()), m_worker(std::move(procRoot), m_shared, std::move(notifier)) {}

OwnerDiscovery::~OwnerDiscovery() { StopOwnerDiscovery(); }

int OwnerDiscovery::StartOwnerDiscovery() {
    const int result = m_worker.start();
    if (result == 0) m_shared->DiscoveryEnabled = true;
    return result;
}

void OwnerDiscovery::StopOwnerDiscovery() {
    m_shared->DiscoveryEnabled = false;
    m_worker.stop();
}

bool OwnerDiscovery::DiscoveryEnabled() const { return m_shared->DiscoveryEnabled; }

OwnerLabel OwnerDiscovery::lookupOwner(const OwnerQuery& query) const {
    if (!m_shared->DiscoveryEnabled) return OwnerLabel{&protocolLabel(query.family, std::uint8_t(query.protocol)), true};
    return m_shared->claims.lookupOwner(query);
}

OwnerLabel OwnerDiscovery::takePacketSender(const PacketRecord& record) const {
    if (!m_shared->DiscoveryEnabled) return {};
    return m_shared->claims.takePacketSender(record);
}

std::int64_t OwnerDiscovery::claimsCompleteUpTo() const {
    if (!m_shared->DiscoveryEnabled) return std::numeric_limits<std::int64_t>::max();
    return m_shared->claims.claimsCompleteUpTo();
}

}  // namespace sondrel
