#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
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
    void addFlows(std::span<const FlowClaim> claims);
    // Frames `label` wrote through packet sockets, oldest first.
    void addPacketSends(const std::string& label, std::span<const PacketSend> sends);
    // The program that wrote this captured frame through a packet socket, if
    // one did (the match is used up), else no text. Cheap while none writes.
    OwnerLabel takePacketSender(const PacketRecord& record) const override {
        return m_anySends.load(std::memory_order_acquire) ? matchPacketSend(record) : OwnerLabel{};
    }
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

    // Owners of one raw-socket key or one flow, oldest first.
    using Timeline = std::vector<Older>;
    struct RawKey {
        std::uint8_t family;
        std::uint8_t protocol;
        Ipv6Address address;  // zero: any
        auto operator<=>(const RawKey&) const = default;
    };
    struct FlowKey {
        std::uint8_t protocol;
        std::uint8_t family;
        std::uint16_t localPort;
        std::uint16_t remotePort;
        IpAddress remote;
        bool operator==(const FlowKey&) const = default;
    };
    struct FlowKeyHash {
        std::size_t operator()(const FlowKey& key) const noexcept {
            return IpAddressHash{}(key.remote) ^ (std::size_t(key.localPort) << 24 | std::size_t(key.remotePort) << 8 |
                                                  key.protocol);
        }
    };
    struct PendingSend {
        std::int64_t timeNs;
        std::uint32_t interfaceIndex;
        std::uint32_t label;
    };

    static std::size_t slotIndex(std::uint8_t family, std::uint16_t protocol, std::uint16_t port);
    static void addToTimeline(Timeline& timeline, std::int64_t since, std::uint32_t label);
    static std::uint32_t timelineAt(const Timeline& timeline, std::int64_t timeNs);
    std::uint32_t rawOwnerAt(const OwnerQuery& query) const;
    OwnerLabel matchPacketSend(const PacketRecord& record) const;
    std::uint32_t flowOwnerAt(const OwnerQuery& query) const;
    // Slots come in pages of 256 ports, made with their first claim: a run
    // sees a few hundred ports, not the 262,144 the planes could hold.
    Slot& slot(std::size_t index);
    const Slot* findSlot(std::size_t index) const;
    std::uint32_t intern(const std::string& utf8Label);
    // The label that held the query's slot at its time; 0 for none. Under OwnerMapLock.
    std::uint32_t labelAt(const OwnerQuery& query) const;
    void addToSlot(std::size_t index, std::int64_t since, std::uint32_t label, bool protocolRow);

    mutable std::mutex OwnerMapLock;
    std::array<std::unique_ptr<Slot[]>, kPortSlots / 256> m_pages;
    std::map<RawKey, Timeline> m_raw;
    std::atomic<bool> m_anyRaw{false};
    std::unordered_map<FlowKey, Timeline, FlowKeyHash> m_flows;
    std::atomic<bool> m_anyFlows{false};
    // Packet-socket frames not yet matched, by the length the program wrote.
    mutable std::unordered_map<std::uint32_t, std::deque<PendingSend>> m_sends;
    mutable std::size_t m_sendCount = 0;
    mutable std::atomic<bool> m_anySends{false};
    // Earlier owners of slots that changed hands, oldest first; most slots have none.
    std::unordered_map<std::uint32_t, std::vector<Older>> m_older;
    std::deque<std::u16string> m_labels;  // stable addresses: answers point into it
    std::unordered_map<std::string, std::uint32_t> m_labelIds;
    std::vector<bool> m_tunnelLabels;  // by label id less one: a kernel tunnel's
    std::atomic<std::int64_t> m_completeUpTo{kBeginning};
    std::int64_t m_lastPrune = 0;  // only the one thread that marks completion uses it
};

}  // namespace sondrel
