#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/packet_record.h"

namespace sondrel {

// One getifaddrs row. Every interface shows up at least once (its link-layer
// row, AF_PACKET), once more per address it carries.
struct InterfaceListRow {
    std::string name;
    unsigned flags = 0;        // IFF_UP and the rest, as the kernel reports them
    int family = AF_UNSPEC;    // of the address; AF_UNSPEC for a row without one
    std::uint32_t index = 0;   // set on the link-layer row (AF_PACKET)
    std::uint32_t ipv4 = 0;    // network order; set when family is AF_INET
    Ipv6Address ipv6{};        // set when family is AF_INET6
};

// The rows getifaddrs gives now, in its order; rows without a name are left
// out. Empty when getifaddrs fails.
std::vector<InterfaceListRow> listInterfaces();

}  // namespace sondrel
