#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/packet_record.h"

namespace sondrel {

// One interface the capture helper captures now, with the addresses that
// count as local on it. For the one-address choice that is the configured
// IPv4 address and the interface's IPv6 addresses; for a list or all, every
// address the interface carries.
struct CapturedInterface {
    std::uint32_t index = 0;  // the kernel's interface index
    std::string name;
    std::vector<std::uint32_t> ipv4;  // network order
    std::vector<Ipv6Address> ipv6;
    bool operator==(const CapturedInterface&) const = default;
};

// In the order the helper lists them (getifaddrs' order).
using CapturedInterfaces = std::vector<CapturedInterface>;

}  // namespace sondrel
