#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/owner_claim.h"
#include "probe/discovery/tunnel_ports.h"

namespace sondrel {

// One socket as a pass or an owner event sees it.
struct SeenSocket {
    std::uint16_t protocol = 0;  // keyedByPort, or a raw socket's protocol
    std::uint16_t localPort = 0;
    std::uint8_t carries = 0;    // kCarriesIpv4 | kCarriesIpv6
    int pid = 0;
    const std::u16string* label = nullptr;  // nullptr: no readable process holds it
    std::uint64_t inode = 0;                // 0: not known (owner events)
    bool raw = false;                       // a raw socket: localPort 0, one family
    Ipv6Address localAddress{};             // a raw socket's bound address; zero: any
};

// Start time of a process in nanoseconds since the epoch, when it can be read.
using ProcessStartTime = std::function<std::optional<std::int64_t>(int pid)>;

// Turns what discovery passes and owner events see into owner claims: one
// claim the first time a port is seen and one each time it changes hands,
// each saying from when on the new owner holds it.
//
// A pass only tells that a socket was held when its tables were read. When
// the owner changed since the pass before, the change happened after the old
// owner was last seen and not before the new owner started: the later of the
// two is the claim's start. An owner event comes from the process itself at
// the moment it used the port, so its time is the start. The first claim of
// a port reaches back to the beginning: the socket existed before it was seen.
// The very socket a readable owner was seen holding, seen again without a
// holder, changes nothing: a process on its way out closes its descriptors
// before the kernel drops its sockets, and a pass that reads the tables in
// between would otherwise take the owner's last packets from it.
//
// A tunnel's port is the tunnel's on both families while the tunnel is up:
// its kernel socket shows in every pass without an owner, and nothing a
// pass or an event says of that port moves the claim (see observeTunnels).
class ClaimTracker {
public:
    ClaimTracker();

    // Sockets of one pass whose tables were read from `seenAtNs` on, in
    // table order (a later socket on the same port wins). Appends the claims.
    void observePass(std::span<const SeenSocket> sockets, std::int64_t seenAtNs, const ProcessStartTime& startTime,
                     std::vector<OwnerClaim>& out);
    // The process used the socket at `atNs`.
    void observeEvent(const SeenSocket& socket, std::int64_t atNs, std::vector<OwnerClaim>& out);
    // The tunnels' UDP ports at `seenAtNs`. A port newly held, or by another
    // tunnel, is claimed from when its previous holder was last seen, and not
    // before `notBeforeNs` (when the kernel opened the socket, where known).
    // A port no longer listed is released as a closed socket is: its claim
    // stands until a pass or an event sees another holder. True when one was.
    bool observeTunnels(std::span<const TunnelPort> tunnels, std::int64_t seenAtNs, std::int64_t notBeforeNs,
                        std::vector<OwnerClaim>& out);

private:
    struct SlotState {
        std::int64_t lastSeenNs = 0;
        std::uint64_t inode = 0;  // the socket a pass last saw there; 0: not known
        std::uint32_t label = 0;  // 0: never seen; 1: no readable owner; others: m_texts index + 2
        // Per pass: the winning socket, in the pass that last touched the slot.
        std::uint32_t passWinner = 0;
        std::uint32_t passStamp = 0;
        bool tunnel = false;  // held by a tunnel now
    };
    static constexpr std::uint32_t kUnreadable = 1;

    struct RawKey {
        bool ipv6;
        std::uint8_t protocol;
        Ipv6Address address;
        auto operator<=>(const RawKey&) const = default;
    };

    std::uint32_t labelId(const std::u16string* label);
    // Port slots by plane and port; raw sockets' after them, one per key as first seen.
    template <typename Visit>
    void forEachSlot(const SeenSocket& socket, Visit visit);
    void claim(std::size_t slot, std::uint32_t label, std::int64_t since, std::vector<OwnerClaim>& out) const;

    // Slots come in pages made with their first socket: a host holds a few
    // hundred ports, not the half million the planes could.
    static constexpr std::size_t kPageSize = 256;
    SlotState& state(std::size_t slot);
    std::vector<std::unique_ptr<SlotState[]>> m_pages;
    std::unordered_map<std::u16string, std::uint32_t> m_ids;
    std::vector<std::string> m_texts;  // UTF-8, as claims carry them
    std::vector<std::uint16_t> m_tunnelPorts;
    std::map<RawKey, std::size_t> m_rawSlots;
    std::vector<RawKey> m_rawKeys;
    std::vector<std::uint32_t> m_touched;
    std::uint32_t m_pass = 0;
};

}  // namespace sondrel
