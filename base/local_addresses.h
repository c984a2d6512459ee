#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/ip_address.h"
#include "base/packet_record.h"

namespace sondrel {

// A packet as one local end of it sees it.
struct PacketDirection {
    bool sent = false;  // from a local address
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;
    IpAddress remote;
};

// The local ends of a packet: none, one, or two when both its addresses are
// local (loopback, or this machine talking to itself). Then the sender's
// program sent it and the receiver's program received it, and each is told
// so once: sent first, received second.
class PacketEnds {
public:
    void add(const PacketDirection& end) { m_ends[m_count++] = end; }
    const PacketDirection* begin() const { return m_ends.data(); }
    const PacketDirection* end() const { return m_ends.data() + m_count; }
    std::size_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }

private:
    std::array<PacketDirection, 2> m_ends{};
    std::size_t m_count = 0;
};

// The addresses that count as this machine's: the configured IPv4 address,
// and the IPv6 addresses of the interface that carries it. Both programs hold
// one: the window to count bytes, the helper to spot ports without an owner.
class LocalAddresses {
public:
    explicit LocalAddresses(const std::atomic<std::uint32_t>& ipv4) : m_ipv4(ipv4) {}
    std::uint32_t ipv4() const { return m_ipv4.load(std::memory_order_relaxed); }
    // Replaced as the interface's addresses change; only the thread that
    // classifies packets reads and writes it.
    void setIpv6(std::vector<Ipv6Address> addresses) { m_ipv6 = std::move(addresses); }
    bool isLocalIpv6(const Ipv6Address& address) const;
    std::size_t ipv6Count() const { return m_ipv6.size(); }

    // Which way the packet went for each of its local ends; empty when
    // neither end is local.
    PacketEnds classify(const PacketRecord& record) const;

private:
    const std::atomic<std::uint32_t>& m_ipv4;
    std::vector<Ipv6Address> m_ipv6;
};

}  // namespace sondrel
