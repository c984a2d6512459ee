#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "capture/decode_frame.h"

namespace sondrel::test {

using Bytes = std::vector<std::uint8_t>;
using Address = std::array<std::uint8_t, 4>;

// The address as a record holds it: the four bytes in frame order.
inline std::uint32_t stored(const Address& address) {
    std::uint32_t value;
    std::memcpy(&value, address.data(), sizeof value);
    return value;
}

struct Ipv4Packet {
    std::uint8_t version = 4;
    std::uint8_t ihl = 5;
    std::uint8_t protocol = 6;
    std::uint16_t totalLength = 40;
    Address src{10, 200, 0, 1};
    Address dst{10, 200, 0, 2};
    std::uint16_t srcPort = 40000;
    std::uint16_t dstPort = 443;
    std::size_t payload = 16;  // bytes after the four port bytes
};

// An IPv4 header of max(20, 4 x IHL) bytes whose option bytes (0xA0, 0xA1, ...)
// differ from any port, then the two ports, then payload bytes 0xEE.
inline Bytes ipv4(const Ipv4Packet& packet) {
    const std::size_t header = packet.ihl < 5 ? 20 : 4u * packet.ihl;
    Bytes bytes(header, 0);
    bytes[0] = static_cast<std::uint8_t>(packet.version << 4 | packet.ihl);
    bytes[2] = static_cast<std::uint8_t>(packet.totalLength >> 8);
    bytes[3] = static_cast<std::uint8_t>(packet.totalLength);
    bytes[8] = 64;
    bytes[9] = packet.protocol;
    std::memcpy(&bytes[12], packet.src.data(), 4);
    std::memcpy(&bytes[16], packet.dst.data(), 4);
    for (std::size_t i = 20; i < header; ++i) {
        bytes[i] = static_cast<std::uint8_t>(0xA0 + i - 20);
    }
    bytes.push_back(static_cast<std::uint8_t>(packet.srcPort >> 8));
    bytes.push_back(static_cast<std::uint8_t>(packet.srcPort));
    bytes.push_back(static_cast<std::uint8_t>(packet.dstPort >> 8));
    bytes.push_back(static_cast<std::uint8_t>(packet.dstPort));
    bytes.insert(bytes.end(), packet.payload, 0xEE);
    return bytes;
}

// Prepends the link header: Ethernet II with the given EtherType, a Linux
// cooked header with the given protocol, or nothing for raw IP.
inline Bytes onLink(LinkType link, const Bytes& packet, std::uint16_t etherType = 0x0800) {
    Bytes frame;
    const std::uint8_t high = static_cast<std::uint8_t>(etherType >> 8);
    const std::uint8_t low = static_cast<std::uint8_t>(etherType);
    switch (link) {
    case LinkType::Ethernet:
        frame = {0x02, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0, 0x01, high, low};
        break;
    case LinkType::LinuxCooked:
        frame = {0, 0, 0, 1, 0, 6, 0x02, 0, 0, 0, 0, 0x01, 0, 0, high, low};
        break;
    case LinkType::Raw:
    case LinkType::Unsupported:
        break;
    }
    frame.insert(frame.end(), packet.begin(), packet.end());
    return frame;
}

inline std::size_t linkHeaderSize(LinkType link) {
    switch (link) {
    case LinkType::Ethernet:
        return 14;
    case LinkType::LinuxCooked:
        return 16;
    case LinkType::Raw:
    case LinkType::Unsupported:
        break;
    }
    return 0;
}

}  // namespace sondrel::test
