#include "engine/accounting.h"

#include <algorithm>

#include "base/ip_address_text.h"
#include "base/text.h"

namespace sondrel {

namespace {

const std::u16string& protocolTagFor(std::uint16_t protocol) {
    static const std::u16string tcp = u"TCP:";
    static const std::u16string udp = u"UDP:";
    static const std::u16string other = u"-";
    return protocol == 6 ? tcp : protocol == 17 ? udp : other;
}

// The "Remote IP" text: dotted for IPv4, RFC 5952 for IPv6.
void formatRemote(std::uint8_t family, const IpAddress& remote, std::u16string& out) {
    if (family == kFamilyIpv4) {
        FormatIPv4(remote.ipv4(), out);
    } else {
        FormatIPv6(remote.bytes, out);
    }
}

}  // namespace

TrafficAccountant::TrafficAccountant(std::shared_ptr<RecordsState> records, const OwnerLookupService& owners,
                                     ResolverStarter& resolvers, const LocalAddresses& local)
    : m_records(std::move(records)), m_owners(owners), m_resolvers(resolvers), m_local(local) {}

void TrafficAccountant::AccountPacket(const PacketRecord& record) {
    const bool received = (record.localEnds & (kEndsKnown | kSourceLocal | kDestinationLocal)) == (kEndsKnown | kDestinationLocal);
    if (!received) {
        // A frame a program wrote through a packet socket is its own, whatever
        // its addresses say: it left this machine.
        const OwnerLabel sender = m_owners.takePacketSender(record);
        if (sender.text != nullptr) {
            accountInjected(record, sender);
            return;
        }
    }
    const LocalEnds ends = m_local.classify(record);
    if (ends.source) accountEnd(record, sentEnd(record));
    if (ends.destination) accountEnd(record, receivedEnd(record));
}

void TrafficAccountant::accountInjected(const PacketRecord& record, const OwnerLabel& sender) {
    accountTo(record, sentEnd(record), sender);
}

void TrafficAccountant::accountEnd(const PacketRecord& record, const PacketDirection& direction) {
    OwnerQuery query{record.family, record.protocol, direction.localPort, record.timeNs, direction.remotePort,
                     nullptr, &direction.remote};
    OwnerLabel owner;
    if (record.protocol == 6 || record.protocol == 17) {
        owner = m_owners.lookupOwner(query);
    } else {
        // Raw sockets are told apart by the local address.
        const IpAddress local = record.family == kFamilyIpv4
                                    ? IpAddress::fromIpv4(direction.sent ? record.srcAddr : record.dstAddr)
                                    : IpAddress::fromIpv6(direction.sent ? record.src6 : record.dst6);
        query.local = &local;
        owner = m_owners.lookupOwner(query);
    }
    if (owner.protocolRow && direction.sent && record.protocol == 17) {
        // A kernel tunnel (VXLAN, Geneve) sends from a port of a range to its own port at the far end.
        const OwnerLabel tunnel = m_owners.tunnelAt(OwnerQuery{record.family, 17, direction.remotePort, record.timeNs});
        if (tunnel.text != nullptr) owner = tunnel;
    }
    accountTo(record, direction, owner);
}

void TrafficAccountant::accountTo(const PacketRecord& record, const PacketDirection& direction, const OwnerLabel& owner) {
    if (owner.text->empty()) return;

    const std::uint64_t ul = direction.sent ? record.length : 0;
    const std::uint64_t dl = direction.sent ? 0 : record.length;

    const std::scoped_lock guard(m_records->RecordsLock);
    AppTable& table = m_records->table;
    // Labels live as long as the program, so the same label is the same pointer.
    const std::size_t appIndex = m_last.generation == table.generation() && m_last.label == owner.text
                                     ? m_last.app
                                     : findAppRow(table, owner);
    AppRecord& app = table.app(appIndex);
    app.ulBytes += ul;
    app.dlBytes += dl;
    InterfaceBytes& onInterface = interfaceBytes(record.interfaceIndex);
    onInterface.ulBytes += ul;
    onInterface.dlBytes += dl;

    std::size_t endpointIndex = m_last.endpoint != AppTable::npos && m_last.localPort == direction.localPort &&
                                        m_last.remote == direction.remote && m_last.family == record.family
                                    ? m_last.endpoint
                                    : findEndpointRow(table, appIndex, direction, record.family);
    if (endpointIndex != AppTable::npos) {
        EndpointRecord& endpoint = app.endpoints[endpointIndex];
        endpoint.ulBytes += ul;
        endpoint.dlBytes += dl;
        endpoint.interfaceIndex = record.interfaceIndex;
        if (endpoint.overflow) {
            nameOverflowRemote(app, record.family, direction.remote);
        } else if (!sameText(app.lastRemoteHost, endpoint.remoteIpText)) {
            // The row's text is the same address text, so it also serves as the new lastRemoteHost.
            app.lastRemoteHost.assign(endpoint.remoteIpText);
        }
    } else {
        endpointIndex = appendEndpointRow(table, appIndex, record, direction, ul, dl);
    }
    m_last.endpoint = endpointIndex;
    m_last.localPort = direction.localPort;
    m_last.remote = direction.remote;
    m_last.family = record.family;
}

InterfaceBytes& TrafficAccountant::interfaceBytes(std::uint32_t index) {
    std::vector<InterfaceBytes>& all = m_records->interfaceBytes;
    if (m_interfaceSlot < all.size() && all[m_interfaceSlot].index == index) return all[m_interfaceSlot];
    m_interfaceSlot = std::size_t(std::find_if(all.begin(), all.end(),
                                               [index](const InterfaceBytes& bytes) { return bytes.index == index; }) -
                                  all.begin());
    if (m_interfaceSlot == all.size()) all.push_back(InterfaceBytes{index, 0, 0});
    return all[m_interfaceSlot];
}

std::size_t TrafficAccountant::findAppRow(AppTable& table, const OwnerLabel& owner) {
    std::size_t appIndex = table.findApp(*owner.text);
    if (appIndex == AppTable::npos) appIndex = table.appendApp(*owner.text, owner.protocolRow);
    m_last.generation = table.generation();
    m_last.label = owner.text;
    m_last.app = appIndex;
    m_last.endpoint = AppTable::npos;
    return appIndex;
}

std::size_t TrafficAccountant::findEndpointRow(AppTable& table, std::size_t appIndex, const PacketDirection& direction,
                                               std::uint8_t family) {
    std::size_t endpointIndex = table.findEndpoint(appIndex, direction.localPort, direction.remote, family);
    if (endpointIndex == AppTable::npos && table.endpointCount() >= m_maxEndpointRows) {
        // Counted in full all the same, in the application's "other" row.
        if (!m_overflowed) m_overflowNoticePending = true;
        m_overflowed = true;
        endpointIndex = table.overflowEndpoint(appIndex);
    }
    return endpointIndex;
}

void TrafficAccountant::nameOverflowRemote(AppRecord& app, std::uint8_t family, const IpAddress& remote) {
    formatRemote(family, remote, m_remoteText);
    if (!sameText(app.lastRemoteHost, m_remoteText)) app.lastRemoteHost.assign(m_remoteText);
}

std::size_t TrafficAccountant::appendEndpointRow(AppTable& table, std::size_t appIndex, const PacketRecord& record,
                                                 const PacketDirection& direction, std::uint64_t ul,
                                                 std::uint64_t dl) {
    AppRecord& app = table.app(appIndex);
    const IpAddress& remote = direction.remote;
    formatRemote(record.family, remote, m_remoteText);
    app.lastRemoteHost.assign(m_remoteText);
    const std::size_t endpointIndex = app.endpoints.size();
    EndpointRecord& row = table.appendEndpoint(
        appIndex, EndpointRecord{direction.localPort, direction.remotePort, dl, ul, m_remoteText, {},
                                 record.family == kFamilyIpv4 ? remote.ipv4() : 0, protocolTagFor(record.protocol),
                                 remote, false, record.family, record.interfaceIndex});
    m_resolvers.startResolver(remote, row);
    return endpointIndex;
}

void TrafficAccountant::drainQueue(PacketQueue& queue) {
    const std::int64_t completeUpTo = m_owners.claimsCompleteUpTo();
    const std::scoped_lock guard(queue.QueueLock);
    auto& records = queue.records();
    std::size_t forced = std::min(m_held, records.size());
    while (!records.empty()) {
        const PacketRecord& r = records.front();
        // A record without a time stamp (0) has nothing to wait for.
        if (forced == 0 && r.timeNs != 0 && r.timeNs > completeUpTo) break;
        AccountPacket(r);
        records.pop_front();
        if (forced > 0) --forced;
    }
    m_held = records.size();
}

bool TrafficAccountant::takeOverflowNotice() {
    const bool pending = m_overflowNoticePending;
    m_overflowNoticePending = false;
    return pending;
}

}  // namespace sondrel
