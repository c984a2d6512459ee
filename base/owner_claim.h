#pragma once

#include <cstdint>
#include <string>

namespace sondrel {

// Which sockets a claim is about: those that can carry IPv4, IPv6 or both.
inline constexpr std::uint8_t kCarriesIpv4 = 1;
inline constexpr std::uint8_t kCarriesIpv6 = 2;

// One owner of one (protocol, local port): from `sinceNs` on, packets of that
// port belong to `label`. An empty label with `unreadable` set says that a
// live socket holds the port whose owner cannot be named.
struct OwnerClaim {
    std::int64_t sinceNs = 0;
    std::uint16_t protocol = 0;  // 6 or 17
    std::uint16_t localPort = 0;
    std::uint8_t carries = 0;    // kCarriesIpv4 | kCarriesIpv6, at least one
    bool unreadable = false;
    std::string label;           // UTF-8, the process label
    // The port is a kernel tunnel's. Such a tunnel sends from ports of a
    // range to this port at the far end: a packet sent there from a port
    // without an owner is the tunnel's too.
    bool tunnel = false;
};

}  // namespace sondrel
