#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sondrel {

// One network interface as the Options dialog lists it.
struct AdapterEntry {
    std::u16string description;  // the interface name; what the list shows and the key of the choice
    std::string addressText;     // its first IPv4 address, "0.0.0.0" when it has none
};

// One getifaddrs row: every interface shows up at least once (its link-layer
// row), once more per address it carries.
struct InterfaceRow {
    std::string name;
    unsigned index = 0;  // if_nametoindex; 0 when unknown
    std::optional<std::uint32_t> ipv4;  // network order
};

// One entry per interface name, ordered by interface index (rows without an
// index come last), ties in first-seen order; the address is the first IPv4
// address in row order.
std::vector<AdapterEntry> buildAdapterEntries(std::span<const InterfaceRow> rows);

// The rows getifaddrs gives now. An address label such as "eth0:1" takes the
// index of its interface, so it is listed right after it.
std::vector<InterfaceRow> interfaceRows();

// The adapter list of the Options dialog, read afresh.
std::vector<AdapterEntry> listAdapters();

// inet_addr for a text that need not be NUL-terminated: the address in network
// order, or INADDR_NONE (0xFFFFFFFF) for text that is not an address. The
// address texts of listAdapters() always convert.
std::uint32_t inetAddr(std::string_view text);

}  // namespace sondrel
