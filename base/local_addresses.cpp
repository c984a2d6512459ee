#include "base/local_addresses.h"

#include <algorithm>

namespace sondrel {

bool LocalAddresses::isLocalIpv6(const Ipv6Address& address) const {
    return std::find(m_ipv6.begin(), m_ipv6.end(), address) != m_ipv6.end();
}

std::optional<PacketDirection> LocalAddresses::classify(const PacketRecord& record) const {
    PacketDirection direction;
    if (record.family == kFamilyIpv4) {
        const std::uint32_t local = ipv4();
        if (record.srcAddr == local) {
            direction.sent = true;
            direction.remote = IpAddress::fromIpv4(record.dstAddr);
        } else if (record.dstAddr == local) {
            direction.remote = IpAddress::fromIpv4(record.srcAddr);
        } else {
            return std::nullopt;
        }
    } else if (record.family == kFamilyIpv6) {
        if (isLocalIpv6(record.src6)) {
            direction.sent = true;
            direction.remote = IpAddress::fromIpv6(record.dst6);
        } else if (isLocalIpv6(record.dst6)) {
            direction.remote = IpAddress::fromIpv6(record.src6);
        } else {
            return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    direction.localPort = direction.sent ? record.srcPort : record.dstPort;
    direction.remotePort = direction.sent ? record.dstPort : record.srcPort;
    return direction;
}

}  // namespace sondrel
