#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "probe/capture/decode_frame.h"

namespace sondrel::test {

using Bytes = std::vector<std::uint8_t>;
using Address = std::array<std::uint8_t, 4>;

// The address as a record holds it: the four bytes in frame order.
inline std::uint32_t stored(const Address& address) {
    std::uint32_t value;
    std::memcpy(&value, address.data(), sizeof value);
    return value;
}

// The upper layer's first four bytes (ports) and a payload of 0xEE bytes.
inline void appendPortsAndPayload(Bytes& bytes, std::uint16_t srcPort, std::uint16_t dstPort, std::size_t payload) {
    for (const std::uint16_t port : {srcPort, dstPort}) {
        bytes.push_back(static_cast<std::uint8_t>(port >> 8));
        bytes.push_back(static_cast<std::uint8_t>(port));
    }
    bytes.insert(bytes.end(), payload, 0xEE);
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
    std::uint16_t identification = 0;
    std::uint16_t flagsAndOffset = 0;  // 0x2000 more fragments; low 13 bits the offset in 8-byte units
};

// An IPv4 header of max(20, 4 x IHL) bytes whose option bytes (0xA0, 0xA1, ...)
// differ from any port, then the two ports, then payload bytes 0xEE.
inline Bytes ipv4(const Ipv4Packet& packet) {
    const std::size_t header = packet.ihl < 5 ? 20 : 4u * packet.ihl;
    Bytes bytes(header, 0);
    bytes[0] = static_cast<std::uint8_t>(packet.version << 4 | packet.ihl);
    bytes[2] = static_cast<std::uint8_t>(packet.totalLength >> 8);
    bytes[3] = static_cast<std::uint8_t>(packet.totalLength);
    bytes[4] = static_cast<std::uint8_t>(packet.identification >> 8);
    bytes[5] = static_cast<std::uint8_t>(packet.identification);
    bytes[6] = static_cast<std::uint8_t>(packet.flagsAndOffset >> 8);
    bytes[7] = static_cast<std::uint8_t>(packet.flagsAndOffset);
    bytes[8] = 64;
    bytes[9] = packet.protocol;
    std::memcpy(&bytes[12], packet.src.data(), 4);
    std::memcpy(&bytes[16], packet.dst.data(), 4);
    for (std::size_t i = 20; i < header; ++i) {
        bytes[i] = static_cast<std::uint8_t>(0xA0 + i - 20);
    }
    appendPortsAndPayload(bytes, packet.srcPort, packet.dstPort, packet.payload);
    return bytes;
}

inline constexpr Ipv6Address kHost6A{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01};
inline constexpr Ipv6Address kHost6B{0xfd, 0x00, 0, 0, 0, 0, 0, 0x07, 0, 0, 0, 0, 0, 0, 0, 0x09};

inline constexpr std::uint8_t kHopByHop = 0;
inline constexpr std::uint8_t kRouting = 43;
inline constexpr std::uint8_t kFragmentHeader = 44;
inline constexpr std::uint8_t kAuthentication = 51;
inline constexpr std::uint8_t kDestinationOptions = 60;

struct Extension {
    std::uint8_t type = kDestinationOptions;
    std::uint8_t lengthField = 0;   // Hdr Ext Len, or AH's Payload Len; unused for a fragment header
    std::uint16_t fragmentOffset = 0;  // in 8-byte units
    bool moreFragments = false;
    std::uint32_t identification = 0;
};

inline std::size_t extensionSize(const Extension& extension) {
    switch (extension.type) {
    case kFragmentHeader:
        return 8;
    case kAuthentication:
        return (extension.lengthField + 2u) * 4;
    default:
        return (extension.lengthField + 1u) * 8;
    }
}

struct Ipv6Packet {
    std::uint8_t version = 6;
    std::uint16_t payloadLength = 20;
    std::vector<Extension> extensions{};
    std::uint8_t upper = 6;
    Ipv6Address src = kHost6A;
    Ipv6Address dst = kHost6B;
    std::uint16_t srcPort = 40000;
    std::uint16_t dstPort = 443;
    std::size_t payload = 16;  // bytes after the four port bytes
};

// The fixed header, the extension headers chained in order (their other bytes
// 0xB0, 0xB1, ... differ from any port), the ports, then payload bytes 0xEE.
inline Bytes ipv6(const Ipv6Packet& packet) {
    Bytes bytes(40, 0);
    bytes[0] = static_cast<std::uint8_t>(packet.version << 4);
    bytes[4] = static_cast<std::uint8_t>(packet.payloadLength >> 8);
    bytes[5] = static_cast<std::uint8_t>(packet.payloadLength);
    bytes[6] = packet.extensions.empty() ? packet.upper : packet.extensions.front().type;
    bytes[7] = 64;
    std::memcpy(&bytes[8], packet.src.data(), 16);
    std::memcpy(&bytes[24], packet.dst.data(), 16);
    for (std::size_t i = 0; i < packet.extensions.size(); ++i) {
        const Extension& extension = packet.extensions[i];
        const std::size_t start = bytes.size();
        const std::size_t size = extensionSize(extension);
        for (std::size_t j = 0; j < size; ++j) {
            bytes.push_back(static_cast<std::uint8_t>(0xB0 + j));
        }
        bytes[start] = i + 1 < packet.extensions.size() ? packet.extensions[i + 1].type : packet.upper;
        if (extension.type == kFragmentHeader) {
            const auto offsetAndFlags =
                static_cast<std::uint16_t>(extension.fragmentOffset << 3 | (extension.moreFragments ? 1 : 0));
            bytes[start + 1] = 0;
            bytes[start + 2] = static_cast<std::uint8_t>(offsetAndFlags >> 8);
            bytes[start + 3] = static_cast<std::uint8_t>(offsetAndFlags);
            for (std::size_t j = 0; j < 4; ++j) {
                bytes[start + 4 + j] = static_cast<std::uint8_t>(extension.identification >> (24 - 8 * j));
            }
        } else {
            bytes[start + 1] = extension.lengthField;
        }
    }
    appendPortsAndPayload(bytes, packet.srcPort, packet.dstPort, packet.payload);
    return bytes;
}

// Prepends the link header: Ethernet II with the given EtherType, a Linux
// cooked header with the given protocol, or nothing for raw IP.
// The interface index onLink writes into a version 2 cooked header.
inline constexpr std::uint8_t kCooked2Index = 7;

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
    case LinkType::LinuxCooked2:
        frame = {high, low, 0, 0, 0, 0, 0, kCooked2Index, 0, 1, 0, 6, 0x02, 0, 0, 0, 0, 0x01, 0, 0};
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
    case LinkType::LinuxCooked2:
        return 20;
    case LinkType::Raw:
    case LinkType::Unsupported:
        break;
    }
    return 0;
}

}  // namespace sondrel::test
