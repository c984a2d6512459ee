#include "engine/records.h"

#include <array>

namespace sondrel {

void FormatIPv4(std::uint32_t address, std::u16string& out) {
    // The address bytes stand in memory in packet order.
    std::array<std::uint8_t, 4> bytes{};
    static_assert(sizeof(address) == bytes.size());
    __builtin_memcpy(bytes.data(), &address, 4);
    char16_t buffer[15];
    std::size_t n = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const unsigned v = bytes[i];
        if (v >= 100) buffer[n++] = char16_t(u'0' + v / 100);
        if (v >= 10) buffer[n++] = char16_t(u'0' + v / 10 % 10);
        buffer[n++] = char16_t(u'0' + v % 10);
        if (i < 3) buffer[n++] = u'.';
    }
    out.assign(buffer, n);
}

std::u16string FormatIPv4(std::uint32_t address) {
    std::u16string out;
    FormatIPv4(address, out);
    return out;
}

std::size_t AppTable::findApp(std::u16string_view name) const {
    const auto it = needsVisibleEscape(name) ? m_byName.find(visibleText(name)) : m_byName.find(name);
    return it == m_byName.end() ? npos : it->second;
}

std::size_t AppTable::appendApp(std::u16string name, bool protocolRow) {
    // Every list, report, metric and the history show the row's name, so it is
    // made visible once, here.
    if (needsVisibleEscape(name)) name = visibleText(name);
    const std::size_t index = m_apps.size();
    m_byName.emplace(name, index);
    m_apps.push_back(AppRecord{std::move(name), 0, 0, {}, {}, protocolRow});
    return index;
}

std::size_t AppTable::findEndpoint(std::size_t appIndex, std::uint16_t localPort, const IpAddress& remote,
                                   std::uint8_t family) const {
    const std::uint32_t found = m_endpointIndex.find(endpointKey(appIndex, localPort, remote, family));
    return found == FlatIndex::kMissing ? npos : found;
}

EndpointRecord& AppTable::appendEndpoint(std::size_t appIndex, EndpointRecord endpoint) {
    // A row built from an IPv4 address alone (:: is never a remote).
    if (endpoint.remoteAddress == IpAddress{}) endpoint.remoteAddress = IpAddress::fromIpv4(endpoint.remoteIp);
    auto& endpoints = m_apps[appIndex].endpoints;
    const auto endpointIndex = std::uint32_t(endpoints.size());
    m_endpointIndex.insert(endpointKey(appIndex, endpoint.localPort, endpoint.remoteAddress, endpoint.family),
                           endpointIndex);
    m_byRemote[endpoint.remoteAddress].push_back(EndpointRef{appIndex, endpointIndex});
    endpoints.push_back(std::move(endpoint));
    return endpoints.back();
}

std::size_t AppTable::overflowEndpoint(std::size_t appIndex) {
    const std::uint32_t found = m_endpointIndex.find(overflowKey(appIndex));
    if (found != FlatIndex::kMissing) return found;
    auto& endpoints = m_apps[appIndex].endpoints;
    const auto endpointIndex = std::uint32_t(endpoints.size());
    m_endpointIndex.insert(overflowKey(appIndex), endpointIndex);
    EndpointRecord row;
    row.remoteIpText = kOverflowRemoteText;
    row.protocolTag = u"-";
    row.overflow = true;
    endpoints.push_back(std::move(row));
    return endpointIndex;
}

void AppTable::setHostName(const IpAddress& address, const std::u16string& hostName) {
    const auto it = m_byRemote.find(address);
    if (it == m_byRemote.end()) return;
    for (const EndpointRef& ref : it->second) {
        EndpointRecord& endpoint = m_apps[ref.app].endpoints[ref.endpoint];
        endpoint.remoteHostName = hostName;
        endpoint.historyHostSent = false;
    }
}

void AppTable::clear() {
    m_apps.clear();
    m_byName.clear();
    m_endpointIndex.clear();
    m_byRemote.clear();
    ++m_generation;
}

}  // namespace sondrel
