#include "config/adapters.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>

#include "base/interfaces.h"
#include "base/text.h"

namespace sondrel {

namespace {

std::string dottedText(std::uint32_t address) {
    in_addr value{};
    value.s_addr = address;
    std::array<char, INET_ADDRSTRLEN> text{};
    if (::inet_ntop(AF_INET, &value, text.data(), text.size()) == nullptr) return "0.0.0.0";
    return text.data();
}

unsigned interfaceIndex(const std::string& name) {
    if (const unsigned index = ::if_nametoindex(name.c_str()); index != 0) return index;
    const std::size_t colon = name.find(':');
    if (colon == std::string::npos) return 0;
    return ::if_nametoindex(name.substr(0, colon).c_str());
}

}  // namespace

std::vector<AdapterEntry> buildAdapterEntries(std::span<const InterfaceRow> rows) {
    struct Collected {
        const InterfaceRow* first;
        std::optional<std::uint32_t> ipv4;
    };
    std::vector<Collected> interfaces;
    for (const InterfaceRow& row : rows) {
        auto known = std::find_if(interfaces.begin(), interfaces.end(),
                                  [&](const Collected& c) { return c.first->name == row.name; });
        if (known == interfaces.end()) {
            interfaces.push_back({&row, row.ipv4});
        } else if (!known->ipv4) {
            known->ipv4 = row.ipv4;
        }
    }
    std::stable_sort(interfaces.begin(), interfaces.end(), [](const Collected& a, const Collected& b) {
        const unsigned left = a.first->index == 0 ? ~0u : a.first->index;
        const unsigned right = b.first->index == 0 ? ~0u : b.first->index;
        return left < right;
    });
    std::vector<AdapterEntry> entries;
    entries.reserve(interfaces.size());
    for (const Collected& c : interfaces) {
        entries.push_back({utf8ToU16(c.first->name), c.ipv4 ? dottedText(*c.ipv4) : std::string("0.0.0.0")});
    }
    return entries;
}

std::vector<InterfaceRow> interfaceRows() {
    const std::vector<InterfaceListRow> listed = listInterfaces();
    std::vector<InterfaceRow> rows;
    rows.reserve(listed.size());
    for (const InterfaceListRow& entry : listed) {
        InterfaceRow row;
        row.name = entry.name;
        row.index = interfaceIndex(row.name);
        if (entry.family == AF_INET) row.ipv4 = entry.ipv4;
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<AdapterEntry> listAdapters() {
    const std::vector<InterfaceRow> rows = interfaceRows();
    return buildAdapterEntries(rows);
}

std::uint32_t inetAddr(std::string_view text) {
    const std::string terminated(text.substr(0, text.find('\0')));
    return ::inet_addr(terminated.c_str());
}

}  // namespace sondrel
