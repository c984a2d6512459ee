#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

#include "base/packet_record.h"

namespace sondrel {

// Which sockets a claim is about: those that can carry IPv4, IPv6 or both.
inline constexpr std::uint8_t kCarriesIpv4 = 1;
inline constexpr std::uint8_t kCarriesIpv6 = 2;

inline constexpr std::uint16_t kProtocolIcmp = 1;
inline constexpr std::uint16_t kProtocolTcp = 6;
inline constexpr std::uint16_t kProtocolUdp = 17;
inline constexpr std::uint16_t kProtocolIcmpv6 = 58;
inline constexpr std::uint16_t kProtocolSctp = 132;

// Protocols whose sockets are told apart by a local port: TCP, UDP, SCTP,
// and ICMP and ICMPv6, whose ping sockets are told apart by the echo
// identifier the kernel gives them as their port.
constexpr bool keyedByPort(std::uint16_t protocol) {
    return protocol == kProtocolTcp || protocol == kProtocolUdp || protocol == kProtocolSctp ||
           protocol == kProtocolIcmp || protocol == kProtocolIcmpv6;
}

// ICMP on IPv4, ICMPv6 on IPv6: the protocol whose echoes ping sockets send.
constexpr bool isEchoProtocol(std::uint8_t family, std::uint16_t protocol) {
    return protocol == (family == kFamilyIpv6 ? kProtocolIcmpv6 : kProtocolIcmp);
}

// The port-keyed protocols in the order of their planes, two planes (IPv4,
// IPv6) each; ICMPv6's echo identifiers share ICMP's pair, on the IPv6 plane.
inline constexpr std::uint16_t kPlaneProtocols[] = {kProtocolTcp, kProtocolUdp, kProtocolSctp, kProtocolIcmp};
inline constexpr std::size_t kPortSlots = std::size(kPlaneProtocols) * 2 * 65536;

// The slot of a (protocol, family, port) among the kPortSlots: one plane per
// protocol and family, since a TCP and a UDP socket on one port number are
// different owners, and so are sockets that carry only IPv4 or only IPv6.
constexpr std::size_t portSlot(std::uint16_t protocol, bool ipv6, std::uint16_t port) {
    const std::size_t pair = protocol == kProtocolTcp ? 0 : protocol == kProtocolUdp ? 1 : protocol == kProtocolSctp ? 2 : 3;
    return (pair * 2 + (ipv6 ? 1u : 0u)) << 16 | port;
}

// One owner of one (protocol, local port): from `sinceNs` on, packets of that
// port belong to `label`. An empty label with `unreadable` set says that a
// live socket holds the port whose owner cannot be named.
struct OwnerClaim {
    std::int64_t sinceNs = 0;
    std::uint16_t protocol = 0;  // keyedByPort, or any protocol for a raw socket
    std::uint16_t localPort = 0;
    std::uint8_t carries = 0;    // kCarriesIpv4 | kCarriesIpv6, at least one
    bool unreadable = false;
    std::string label;           // UTF-8, the process label
    // The port is a kernel tunnel's. Such a tunnel sends from ports of a
    // range to this port at the far end: a packet sent there from a port
    // without an owner is the tunnel's too.
    bool tunnel = false;
    // A raw socket of `protocol` on one family (carries one bit), bound to
    // `localAddress` (all zero: any; an IPv4 address in the first four
    // bytes); localPort is 0. It receives every packet of its protocol.
    bool raw = false;
    Ipv6Address localAddress{};
};

// A connection of a socket in another network namespace (a container's) as
// the host's captured interfaces show it, after address translation: from
// `sinceNs` on, packets of this protocol, family, local port and remote end
// belong to `label`, whoever holds that port on the host.
struct FlowClaim {
    std::int64_t sinceNs = 0;
    std::uint8_t protocol = 0;  // 6, 17 or 132
    std::uint8_t family = kFamilyIpv4;
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;
    Ipv6Address remote{};  // an IPv4 address in the first four bytes
    std::string label;     // UTF-8
};

// A frame a program wrote through a packet socket: `length` bytes as it
// handed them to the kernel (with the link header for a SOCK_RAW socket).
struct PacketSend {
    std::int64_t timeNs = 0;
    std::uint32_t interfaceIndex = 0;  // 0: not known
    std::uint32_t length = 0;
};

}  // namespace sondrel
