#include "base/interfaces.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>

namespace sondrel {

std::vector<InterfaceListRow> listInterfaces() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return {};
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
    std::vector<InterfaceListRow> rows;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr) continue;
        InterfaceListRow row;
        row.name = entry->ifa_name;
        row.flags = entry->ifa_flags;
        if (entry->ifa_addr != nullptr) {
            row.family = entry->ifa_addr->sa_family;
            if (row.family == AF_INET) {
                row.ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
            } else if (row.family == AF_INET6) {
                sockaddr_in6 address;
                std::memcpy(&address, entry->ifa_addr, sizeof address);
                std::memcpy(row.ipv6.data(), &address.sin6_addr, row.ipv6.size());
            } else if (row.family == AF_PACKET) {
                sockaddr_ll link;
                std::memcpy(&link, entry->ifa_addr, sizeof link);
                row.index = std::uint32_t(link.sll_ifindex);
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace sondrel
