#pragma once

#include <cstdint>

namespace sondrel {

// One decoded IPv4 packet. Addresses hold the four address bytes exactly as
// they stand in the frame (network order); ports are in host order.
struct PacketRecord {
    std::uint32_t srcAddr = 0;
    std::uint32_t dstAddr = 0;
    std::uint32_t length = 0;  // IPv4 Total Length
    std::uint16_t dstPort = 0;
    std::uint16_t srcPort = 0;
    std::uint16_t protocol = 0;
};

}  // namespace sondrel
