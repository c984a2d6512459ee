#pragma once

#include <array>
#include <cstdint>

namespace sondrel {

using Ipv6Address = std::array<std::uint8_t, 16>;

inline constexpr std::uint8_t kFamilyIpv4 = 4;
inline constexpr std::uint8_t kFamilyIpv6 = 6;

inline constexpr std::uint8_t kEndsKnown = 1;
inline constexpr std::uint8_t kSourceLocal = 2;
inline constexpr std::uint8_t kDestinationLocal = 4;

// One decoded packet. The first six fields are those of an IPv4 packet:
// addresses hold the four address bytes exactly as they stand in the frame
// (network order), ports are in host order. An IPv6 packet leaves srcAddr and
// dstAddr 0 and carries its addresses in src6 and dst6.
struct PacketRecord {
    std::uint32_t srcAddr = 0;
    std::uint32_t dstAddr = 0;
    std::uint32_t length = 0;  // IPv4 Total Length; IPv6 40 + Payload Length
    std::uint16_t dstPort = 0;
    std::uint16_t srcPort = 0;
    std::uint16_t protocol = 0;  // IPv4 Protocol; IPv6 upper-layer Next Header
    std::uint8_t family = kFamilyIpv4;
    // Which ends are local, when the capture helper has said so (kEndsKnown);
    // 0 leaves it to the window's own addresses.
    std::uint8_t localEnds = 0;
    // The interface it was captured on (the kernel's index); 0 when unknown.
    // Fills what would otherwise be padding before timeNs.
    std::uint32_t interfaceIndex = 0;
    std::int64_t timeNs = 0;  // capture time stamp, nanoseconds since the epoch
    Ipv6Address src6{};
    Ipv6Address dst6{};
};

}  // namespace sondrel
