#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/owner_claim.h"
#include "engine/owners/owner_lookup.h"

namespace sondrel {

// Who held which (protocol, family, local port) since when: the port-owner
// map with time. A packet is credited to the owner that held its port at its
// capture time, so a port taken over by another program never credits the
// old one for later packets, and packets still queued when their program
// exited go to it all the same. A port keeps its last owner after its socket
// closes. A packet older than every claim of its port goes to the earliest:
// its socket existed before anyone saw it.
//
// Claims arrive from a discovery pass or an owner event (through the capture
// helper, or from discovery running in this process in the tests) and are
// looked up once per packet. Every member takes OwnerMapLock itself.
class OwnerClaims final : public OwnerLookupService {
public:
    OwnerClaims();

    void add(std::span<const OwnerClaim> claims);
    // Every claim about ports held up to `upToNs` has been added. Called by
    // one thread only (the one that adds the claims).
    void markComplete(std::int64_t upToNs);
    // No more claims will come (discovery off or ended): nothing waits for them.
    void markFinal();

    OwnerLabel lookupOwner(const OwnerQuery& query) const override;
    OwnerLabel tunnelAt(const OwnerQuery& query) const override;
    std::int64_t claimsCompleteUpTo() const override { return m_completeUpTo.load(std::memory_order_acquire); }

    // Forgets claims that only packets captured before `beforeNs` could use:
    // such packets have been counted long ago.
    void prune(std::int64_t beforeNs);

    std::mutex& lock() const { return OwnerMapLock; }

    static constexpr std::int64_t kBeginning = std::numeric_limits<std::int64_t>::min();

private:
    struct Slot {
        std::int64_t since = 0;
        std::uint32_t label = 0;  // 0: no claim
        bool protocolRow = false;
    };
    struct Older {
        std::int64_t since;
        std::uint32_t label;
        bool protocolRow;
    };

    static std::size_t slotIndex(std::uint8_t family, std::uint16_t protocol, std::uint16_t port);
    // Slots come in pages of 256 ports, made with their first claim: a run
    // sees a few hundred ports, not the 262,144 the planes could hold.
    Slot& slot(std::size_t index);
    const Slot* findSlot(std::size_t index) const;
    std::uint32_t intern(const std::string& utf8Label);
    // The label that held the query's slot at its time; 0 for none. Under OwnerMapLock.
    std::uint32_t labelAt(const OwnerQuery& query) const;
    void addToSlot(std::size_t index, std::int64_t since, std::uint32_t label, bool protocolRow);

    mutable std::mutex OwnerMapLock;
    std::array<std::unique_ptr<Slot[]>, 4 * 65536 / 256> m_pages;
    // Earlier owners of slots that changed hands, oldest first; most slots have none.
    std::unordered_map<std::uint32_t, std::vector<Older>> m_older;
    std::deque<std::u16string> m_labels;  // stable addresses: answers point into it
    std::unordered_map<std::string, std::uint32_t> m_labelIds;
    std::vector<bool> m_tunnelLabels;  // by label id less one: a kernel tunnel's
    std::atomic<std::int64_t> m_completeUpTo{kBeginning};
    std::int64_t m_lastPrune = 0;  // only the one thread that marks completion uses it
};

}  // namespace sondrel
