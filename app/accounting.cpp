#include "app/accounting.h"

#include "base/text.h"

namespace sondrel {

namespace {

const std::u16string& protocolTagFor(std::uint16_t protocol) {
    static const std::u16string tcp = u"TCP:";
    static const std::u16string udp = u"UDP:";
    static const std::u16string other = u"-";
    return protocol == 6 ? tcp : protocol == 17 ? udp : other;
}

}  // namespace

TrafficAccountant::TrafficAccountant(std::shared_ptr<RecordsState> records, const OwnerLookupService& owners,
                                     ResolverStarter& resolvers, const std::atomic<std::uint32_t>& localAddress)
    : m_records(std::move(records)), m_owners(owners), m_resolvers(resolvers), m_localAddress(localAddress) {}

void TrafficAccountant::AccountPacket(std::uint32_t srcAddr, std::uint32_t dstAddr, std::uint32_t length,
                                      std::uint16_t dstPort, std::uint16_t srcPort, std::uint16_t protocol) {
    const std::uint32_t local = m_localAddress.load(std::memory_order_relaxed);
    bool sent;
    std::uint16_t localPort;
    std::uint16_t remotePort;
    std::uint32_t remoteAddr;
    if (srcAddr == local) {
        sent = true;
        localPort = srcPort;
        remoteAddr = dstAddr;
        remotePort = dstPort;
    } else if (dstAddr == local) {
        sent = false;
        localPort = dstPort;
        remoteAddr = srcAddr;
        remotePort = srcPort;
    } else {
        return;
    }

    std::u16string name = m_owners.OwnerLookup(localPort, protocol);
    if (name.empty()) return;

    const std::uint64_t ul = sent ? length : 0;
    const std::uint64_t dl = sent ? 0 : length;

    const std::scoped_lock guard(m_records->RecordsLock);
    AppTable& table = m_records->table;
    const bool cacheValid = m_last.generation == table.generation();
    std::size_t appIndex;
    if (cacheValid && sameText(m_last.name, name)) {
        appIndex = m_last.app;
    } else {
        appIndex = table.findApp(name);
        if (appIndex == AppTable::npos) appIndex = table.appendApp(name);
        m_last.generation = table.generation();
        m_last.name = std::move(name);
        m_last.app = appIndex;
        m_last.endpoint = AppTable::npos;
    }
    AppRecord& app = table.app(appIndex);
    app.ulBytes += ul;
    app.dlBytes += dl;

    std::size_t endpointIndex;
    if (m_last.endpoint != AppTable::npos && m_last.localPort == localPort && m_last.remoteAddr == remoteAddr) {
        endpointIndex = m_last.endpoint;
    } else {
        endpointIndex = table.findEndpoint(appIndex, localPort, remoteAddr);
    }
    if (endpointIndex != AppTable::npos) {
        // The row's text is the same address text, so it also serves as the new lastRemoteHost.
        EndpointRecord& endpoint = app.endpoints[endpointIndex];
        endpoint.ulBytes += ul;
        endpoint.dlBytes += dl;
        if (!sameText(app.lastRemoteHost, endpoint.remoteIpText)) app.lastRemoteHost.assign(endpoint.remoteIpText);
    } else {
        FormatIPv4(remoteAddr, m_remoteText);
        app.lastRemoteHost.assign(m_remoteText);
        endpointIndex = app.endpoints.size();
        table.appendEndpoint(appIndex, EndpointRecord{localPort, remotePort, dl, ul, m_remoteText, {}, remoteAddr,
                                                      protocolTagFor(protocol)});
        m_resolvers.startResolver(remoteAddr);
    }
    m_last.endpoint = endpointIndex;
    m_last.localPort = localPort;
    m_last.remoteAddr = remoteAddr;
}

void TrafficAccountant::drainQueue(PacketQueue& queue) {
    const std::scoped_lock guard(queue.QueueLock);
    auto& records = queue.records();
    while (!records.empty()) {
        const PacketRecord& r = records.front();
        AccountPacket(r.srcAddr, r.dstAddr, r.length, r.dstPort, r.srcPort, r.protocol);
        records.pop_front();
    }
}

}  // namespace sondrel
