#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/captured_interfaces.h"
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

// Which of a packet's addresses are local. Both are for loopback, or this
// machine talking to itself: then the sender's program sent it and the
// receiver's program received it, and each is told so once.
struct LocalEnds {
    bool source = false;
    bool destination = false;
};

// The packet as its sending end sees it, and as its receiving end does.
inline PacketDirection sentEnd(const PacketRecord& record) {
    return {true, record.srcPort, record.dstPort,
            record.family == kFamilyIpv4 ? IpAddress::fromIpv4(record.dstAddr) : IpAddress::fromIpv6(record.dst6)};
}
inline PacketDirection receivedEnd(const PacketRecord& record) {
    return {false, record.dstPort, record.srcPort,
            record.family == kFamilyIpv4 ? IpAddress::fromIpv4(record.srcAddr) : IpAddress::fromIpv6(record.src6)};
}

// The addresses that count as this machine's: the configured IPv4 address
// (followed as it changes) and the addresses of the captured interfaces. Both
// programs hold one: the window to count bytes, the helper to spot ports
// without an owner.
class LocalAddresses {
public:
    explicit LocalAddresses(const std::atomic<std::uint32_t>& configured) : m_configured(configured) {}
    std::uint32_t ipv4() const { return m_configured.load(std::memory_order_relaxed); }
    // Replaced as interfaces and their addresses change; only the thread that
    // classifies packets reads and writes them.
    void setIpv6(std::vector<Ipv6Address> addresses) { m_ipv6 = std::move(addresses); }
    void setInterfaces(const CapturedInterfaces& interfaces);
    bool isLocalIpv4(std::uint32_t address) const {
        const std::uint32_t configured = ipv4();
        if (address == configured && configured != 0) return true;
        for (const std::uint32_t local : m_ipv4)
            if (local == address) return true;
        return false;
    }
    bool isLocalIpv6(const Ipv6Address& address) const;
    std::size_t ipv6Count() const { return m_ipv6.size(); }

    // Which ends of the packet are local; neither for a packet between two
    // other hosts (or of another family). What the helper marked stands: it
    // knew the addresses when the packet was captured.
    LocalEnds classify(const PacketRecord& record) const {
        if (record.localEnds & kEndsKnown)
            return {(record.localEnds & kSourceLocal) != 0, (record.localEnds & kDestinationLocal) != 0};
        if (record.family == kFamilyIpv4) return {isLocalIpv4(record.srcAddr), isLocalIpv4(record.dstAddr)};
        if (record.family == kFamilyIpv6) return {isLocalIpv6(record.src6), isLocalIpv6(record.dst6)};
        return {};
    }

private:
    const std::atomic<std::uint32_t>& m_configured;
    std::vector<std::uint32_t> m_ipv4;
    std::vector<Ipv6Address> m_ipv6;
};

}  // namespace sondrel
