#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "base/owner_claim.h"
#include "probe/discovery/conntrack_table.h"

namespace sondrel {

// A socket of another network namespace (a container's), as an owner event
// told it. Addresses are in network order, an IPv4 one in the first four bytes.
struct ForeignSocket {
    std::uint32_t netns = 0;  // inode of the socket's network namespace
    std::uint8_t protocol = 0;  // 6, 17 or 132
    std::uint8_t family = kFamilyIpv4;  // the socket's
    // What it can carry (kCarriesIpv4 | kCarriesIpv6) where the event says;
    // 0: its family's own traffic only.
    std::uint8_t carries = 0;
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;
    Ipv6Address local{};   // all zero: any address
    Ipv6Address remote{};  // all zero: not connected
    std::string label;     // UTF-8
    std::int64_t sinceNs = 0;
};

// Turns the sockets of other network namespaces into the connections the
// host's interfaces carry for them, so that a container's traffic, translated
// to the host's address and maybe another port, is credited to the
// container's program and not to a host program holding the same port.
//
// The host's connection tracking table joins the two: a socket's local end is
// the original source of an outbound connection whose source the host
// translated, or the reply source of an inbound one it forwarded to the
// container. An entry the host did not translate is never joined, so the
// host's own connections stay its own programs'.
//
// When a socket bound to any address is joined on its port alone, an address
// that another namespace's socket was seen bound to is not this namespace's;
// sockets of several namespaces with different labels that match equally
// well give no claim rather than a guess.
//
// Each flow is claimed once, and again only when its label changes (a later
// socket took the same local end: its claim starts at that socket's time).
// All times are on the owner events' clock. Sockets not observed, and not
// joined, for five minutes are forgotten; at most 65536 sockets and 65536
// flows of each kind are held, the oldest forgotten first.
class ForeignFlows {
public:
    // A newer socket with the same namespace, protocol, family and local end
    // replaces the older; an event about the held one keeps its start time.
    void observeSocket(const ForeignSocket& socket);

    // Whether reading the conntrack table now is worth it: a socket came since
    // the last read (observeConntrack or connectedFlows), or a second passed
    // since it while sockets are held.
    bool wantsConntrack(std::int64_t nowNs) const;

    // Appends the claims of the flows `entries` (the whole current table)
    // newly join. Flows whose entry is gone are forgotten.
    void observeConntrack(std::span<const ConntrackEntry> entries, std::int64_t nowNs, std::vector<FlowClaim>& out);

    // For a host whose conntrack table cannot be read: appends a claim for
    // each connected socket observed since the last call, with its own ports
    // and remote end, as a translation that keeps the port shows it (the
    // usual case for outbound connections).
    void connectedFlows(std::int64_t nowNs, std::vector<FlowClaim>& out);

    std::size_t socketCount() const { return m_sockets.size(); }

private:
    struct SocketKey {
        // Protocol and port first: the join looks up all sockets of one port.
        std::uint8_t protocol = 0;
        std::uint16_t localPort = 0;
        std::uint8_t family = 0;
        Ipv6Address local{};
        std::uint32_t netns = 0;
        auto operator<=>(const SocketKey&) const = default;
    };
    struct HeldSocket {
        std::string label;
        std::int64_t sinceNs = 0;
        std::int64_t seenNs = 0;
        std::uint8_t carries = 0;
    };
    struct FlowKey {
        std::uint8_t protocol = 0;
        std::uint8_t family = 0;
        std::uint16_t localPort = 0;
        std::uint16_t remotePort = 0;
        Ipv6Address remote{};
        auto operator<=>(const FlowKey&) const = default;
    };
    struct EmittedFlow {
        std::string label;
        std::int64_t seenNs = 0;
        std::uint64_t generation = 0;
    };
    struct AddressKey {
        std::uint8_t family = 0;
        Ipv6Address address{};
        auto operator<=>(const AddressKey&) const = default;
    };
    struct AddressOwner {
        std::uint32_t netns = 0;
        std::int64_t seenNs = 0;
    };

    using SocketMap = std::map<SocketKey, HeldSocket>;

    SocketMap::iterator match(std::uint8_t protocol, std::uint8_t family, const Ipv6Address& address,
                              std::uint16_t port);
    void claim(SocketMap::iterator socket, const FlowKey& flow, std::int64_t nowNs, std::vector<FlowClaim>& out);
    void forgetIdle(std::int64_t nowNs);
    void learnAddress(const SocketKey& key, std::int64_t seenNs);

    SocketMap m_sockets;
    std::map<FlowKey, EmittedFlow> m_joined;     // claimed from the conntrack table
    std::map<FlowKey, EmittedFlow> m_connected;  // claimed from connected sockets
    std::vector<FlowClaim> m_pendingConnected;
    std::map<AddressKey, AddressOwner> m_addressOwners;
    std::uint64_t m_generation = 0;
    std::int64_t m_readNs = 0;
    bool m_observedSinceRead = false;
};

}  // namespace sondrel
