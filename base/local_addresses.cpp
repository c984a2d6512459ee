#include "base/local_addresses.h"

#include <algorithm>

namespace sondrel {

bool LocalAddresses::isLocalIpv6(const Ipv6Address& address) const {
    return std::find(m_ipv6.begin(), m_ipv6.end(), address) != m_ipv6.end();
}

}  // namespace sondrel
