#include "base/local_addresses.h"

#include <algorithm>

namespace sondrel {

bool LocalAddresses::isLocalIpv6(const Ipv6Address& address) const {
    return std::find(m_ipv6.begin(), m_ipv6.end(), address) != m_ipv6.end();
}

PacketEnds LocalAddresses::classify(const PacketRecord& record) const {
    bool srcLocal = false;
    bool dstLocal = false;
    IpAddress src;
    IpAddress dst;
    if (record.family == kFamilyIpv4) {
        const std::uint32_t local = ipv4();
        srcLocal = record.srcAddr == local;
        dstLocal = record.dstAddr == local;
        src = IpAddress::fromIpv4(record.srcAddr);
        dst = IpAddress::fromIpv4(record.dstAddr);
    } else if (record.family == kFamilyIpv6) {
        srcLocal = isLocalIpv6(record.src6);
        dstLocal = isLocalIpv6(record.dst6);
        src = IpAddress::fromIpv6(record.src6);
        dst = IpAddress::fromIpv6(record.dst6);
    }
    PacketEnds ends;
    if (srcLocal) ends.add(PacketDirection{true, record.srcPort, record.dstPort, dst});
    if (dstLocal) ends.add(PacketDirection{false, record.dstPort, record.srcPort, src});
    return ends;
}

}  // namespace sondrel
