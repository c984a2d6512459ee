#include "config/default_address.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <thread>

namespace sondrel {

namespace {

std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    while (pos < line.size()) {
        const std::size_t start = line.find_first_not_of(" \t\r", pos);
        if (start == std::string_view::npos) break;
        const std::size_t end = std::min(line.find_first_of(" \t\r", start), line.size());
        fields.push_back(line.substr(start, end - start));
        pos = end;
    }
    return fields;
}

template <typename T>
std::optional<T> parseNumber(std::string_view text, int base) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

bool isLoopbackAddress(std::uint32_t address) {
    return (ntohl(address) >> 24) == 127;
}

std::optional<std::string> defaultRouteInterface(std::string_view routeTable) {
    std::optional<std::string> best;
    std::uint64_t bestMetric = std::numeric_limits<std::uint64_t>::max();
    std::size_t pos = 0;
    while (pos < routeTable.size()) {
        std::size_t end = routeTable.find('\n', pos);
        if (end == std::string_view::npos) end = routeTable.size();
        const std::vector<std::string_view> fields = splitFields(routeTable.substr(pos, end - pos));
        pos = end + 1;
        if (fields.size() < 8) continue;
        const auto destination = parseNumber<std::uint32_t>(fields[1], 16);
        const auto flags = parseNumber<std::uint32_t>(fields[3], 16);
        const auto metric = parseNumber<std::uint64_t>(fields[6], 10);
        const auto mask = parseNumber<std::uint32_t>(fields[7], 16);
        if (!destination || !flags || !metric || !mask) continue;
        if (*destination != 0 || *mask != 0 || (*flags & RTF_UP) == 0) continue;
        if (!best || *metric < bestMetric) {
            best = std::string(fields[0]);
            bestMetric = *metric;
        }
    }
    return best;
}

std::uint32_t chooseDefaultAddress(std::span<const std::uint32_t> hostNameAddresses,
                                   const std::optional<std::string>& defaultRouteIfName,
                                   std::span<const InterfaceAddress> interfaces) {
    for (const std::uint32_t address : hostNameAddresses) {
        if (!isLoopbackAddress(address)) return address;
    }
    if (defaultRouteIfName) {
        for (const InterfaceAddress& entry : interfaces) {
            if (entry.name == *defaultRouteIfName && entry.address != 0) return entry.address;
        }
    }
    for (const InterfaceAddress& entry : interfaces) {
        if (entry.up && entry.address != 0 && !isLoopbackAddress(entry.address)) return entry.address;
    }
    return 0;
}

std::vector<std::uint32_t> hostNameAddresses() {
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0) return {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;  // one answer per address instead of one per socket type
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.data(), nullptr, &hints, &found) != 0) return {};
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
    std::vector<std::uint32_t> addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) continue;
        addresses.push_back(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
    }
    return addresses;
}

std::vector<InterfaceAddress> interfaceAddresses(std::span<const InterfaceListRow> rows) {
    std::vector<InterfaceAddress> addresses;
    for (const InterfaceListRow& row : rows) {
        if (row.family != AF_INET) continue;
        addresses.push_back({row.name, row.ipv4, (row.flags & IFF_UP) != 0});
    }
    return addresses;
}

std::vector<InterfaceAddress> interfaceAddresses() {
    const std::vector<InterfaceListRow> rows = listInterfaces();
    return interfaceAddresses(rows);
}

std::uint32_t DefaultLocalAddress(const std::string& procRoot) {
    const std::vector<std::uint32_t> fromHostName = hostNameAddresses();
    if (const std::uint32_t chosen = chooseDefaultAddress(fromHostName, std::nullopt, {}); chosen != 0) return chosen;
    const std::vector<InterfaceAddress> interfaces = interfaceAddresses();
    const std::optional<std::string> routeInterface = defaultRouteInterface(readWholeFile(procRoot + "/net/route"));
    return chooseDefaultAddress(fromHostName, routeInterface, interfaces);
}

DefaultAddressLookup::DefaultAddressLookup(std::function<std::uint32_t()> lookUp) : m_slot(std::make_shared<Slot>()) {
    std::thread([slot = m_slot, lookUp = std::move(lookUp)] {
        const std::uint32_t address = lookUp();
        const std::scoped_lock guard(slot->lock);
        slot->address = address;
    }).detach();
}

std::optional<std::uint32_t> DefaultAddressLookup::result() const {
    const std::scoped_lock guard(m_slot->lock);
    return m_slot->address;
}

}  // namespace sondrel
