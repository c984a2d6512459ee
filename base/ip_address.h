#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/packet_record.h"

namespace sondrel {

// An address of either family in one 16-byte form: an IPv4 address as the
// IPv4-mapped IPv6 address ::ffff:a.b.c.d, so one key serves both.
struct IpAddress {
    Ipv6Address bytes{};

    static IpAddress fromIpv4(std::uint32_t networkOrder) {
        IpAddress address;
        address.bytes[10] = 0xFF;
        address.bytes[11] = 0xFF;
        std::memcpy(address.bytes.data() + 12, &networkOrder, 4);
        return address;
    }
    static IpAddress fromIpv6(const Ipv6Address& bytes) { return IpAddress{bytes}; }

    bool isIpv4() const {
        static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        return std::memcmp(bytes.data(), kMapped, 12) == 0;
    }
    // The IPv4 address in network order; meaningful when isIpv4().
    std::uint32_t ipv4() const {
        std::uint32_t value;
        std::memcpy(&value, bytes.data() + 12, 4);
        return value;
    }
    std::uint64_t high() const {
        std::uint64_t value;
        std::memcpy(&value, bytes.data(), 8);
        return value;
    }
    std::uint64_t low() const {
        std::uint64_t value;
        std::memcpy(&value, bytes.data() + 8, 8);
        return value;
    }
    bool operator==(const IpAddress&) const = default;
};

struct IpAddressHash {
    std::size_t operator()(const IpAddress& address) const noexcept {
        std::uint64_t key = address.high() * 0x9E3779B97F4A7C15ull ^ address.low();
        key ^= key >> 33;
        key *= 0xff51afd7ed558ccdull;
        key ^= key >> 33;
        return std::size_t(key);
    }
};

}  // namespace sondrel
