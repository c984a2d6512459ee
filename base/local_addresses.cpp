#include "base/local_addresses.h"

#include <algorithm>

namespace sondrel {

bool LocalAddresses::isLocalIpv6(const Ipv6Address& address) const {
    return std::find(m_ipv6.begin(), m_ipv6.end(), address) != m_ipv6.end();
}

void LocalAddresses::setInterfaces(const CapturedInterfaces& interfaces) {
    m_ipv4.clear();
    m_ipv6.clear();
    for (const CapturedInterface& captured : interfaces) {
        for (const std::uint32_t address : captured.ipv4)
            if (std::find(m_ipv4.begin(), m_ipv4.end(), address) == m_ipv4.end()) m_ipv4.push_back(address);
        for (const Ipv6Address& address : captured.ipv6)
            if (std::find(m_ipv6.begin(), m_ipv6.end(), address) == m_ipv6.end()) m_ipv6.push_back(address);
    }
}

}  // namespace sondrel
