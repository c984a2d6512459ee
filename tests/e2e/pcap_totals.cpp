#include "tests/e2e/pcap_totals.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace sondrel::e2e {

namespace {

constexpr std::uint32_t kMagicMicro = 0xa1b2c3d4;
constexpr std::uint32_t kMagicNano = 0xa1b23c4d;
constexpr std::size_t kFileHeaderSize = 24;
constexpr std::size_t kRecordHeaderSize = 16;
constexpr std::uint32_t kLinkEthernet = 1;
constexpr std::uint32_t kLinkRawIp = 101;
constexpr std::uint32_t kLinkLinuxCooked = 113;
constexpr std::uint16_t kProtocolTcp = 6;
constexpr std::uint16_t kProtocolUdp = 17;
// Its common header starts with the two ports, as UDP's does.
constexpr std::uint16_t kProtocolSctp = 132;

std::uint32_t read32(std::string_view bytes, std::size_t offset, bool swapped) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
    if (swapped) return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
    return std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
}

std::uint16_t big16(std::string_view bytes, std::size_t offset) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

struct IpStart {
    std::size_t offset = 0;
    unsigned version = 0;  // what the link layer says it carries; 0: the version nibble says
};

// Where the IP header starts in a frame of this link type, or nothing when
// the frame carries neither IPv4 nor IPv6.
std::optional<IpStart> ipStart(std::string_view frame, std::uint32_t linkType) {
    const auto byType = [](std::uint16_t etherType) -> unsigned {
        return etherType == 0x0800 ? 4 : etherType == 0x86dd ? 6 : 0;
    };
    switch (linkType) {
    case kLinkEthernet:
        if (frame.size() >= 14 && byType(big16(frame, 12)) != 0) return IpStart{14, byType(big16(frame, 12))};
        return std::nullopt;
    case kLinkLinuxCooked:
        if (frame.size() >= 16 && byType(big16(frame, 14)) != 0) return IpStart{16, byType(big16(frame, 14))};
        return std::nullopt;
    case kLinkRawIp:
        return IpStart{0, 0};
    default:
        return std::nullopt;
    }
}

void add(PcapTotals& totals, const FlowKey& key, std::uint32_t length) {
    FlowTally& tally = totals.flows[key];
    tally.bytes += length;
    ++tally.packets;
}

// A packet between two local addresses (loopback) counts at both of its
// ends, as the monitor counts it: sent at its source port and received at
// its destination port.
// A ping's identifier is its socket's port: the request's at its sender,
// the reply's at its receiver; the other end (the kernel's) gets 0.
void echoPorts(std::string_view icmp, std::uint8_t request, std::uint8_t reply, std::uint16_t& sourcePort,
               std::uint16_t& destinationPort) {
    if (icmp.size() < 6) return;
    const auto type = static_cast<unsigned char>(icmp[0]);
    if (type == request) sourcePort = big16(icmp, 4);
    if (type == reply) destinationPort = big16(icmp, 4);
}

void addEnds(PcapTotals& totals, bool fromLocal, bool toLocal, std::uint16_t sourcePort, std::uint16_t destinationPort,
             std::uint16_t protocol, std::uint8_t family, std::uint32_t length) {
    if (!fromLocal && !toLocal) ++totals.foreignPackets;
    if (fromLocal) add(totals, FlowKey{sourcePort, protocol, true, family}, length);
    if (toLocal) add(totals, FlowKey{destinationPort, protocol, false, family}, length);
}

void tallyIpv4(std::string_view ip, std::uint32_t localAddress, PcapTotals& totals) {
    if (ip.size() < 20) return;
    const std::size_t headerLength = std::size_t(static_cast<unsigned char>(ip[0]) & 0x0f) * 4;
    const std::uint16_t totalLength = big16(ip, 2);
    const bool firstFragment = (big16(ip, 6) & 0x1fff) == 0;
    const std::uint16_t protocol = static_cast<unsigned char>(ip[9]);
    std::uint32_t source = 0;
    std::uint32_t destination = 0;
    std::memcpy(&source, ip.data() + 12, 4);
    std::memcpy(&destination, ip.data() + 16, 4);

    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    const bool hasPorts = protocol == kProtocolTcp || protocol == kProtocolUdp || protocol == kProtocolSctp;
    if (hasPorts && firstFragment && headerLength >= 20 && ip.size() >= headerLength + 4) {
        sourcePort = big16(ip, headerLength);
        destinationPort = big16(ip, headerLength + 2);
    }
    if (protocol == 1 && firstFragment && headerLength >= 20 && ip.size() > headerLength)
        echoPorts(ip.substr(headerLength), 8, 0, sourcePort, destinationPort);

    addEnds(totals, source == localAddress, destination == localAddress, sourcePort, destinationPort, protocol,
            kFamilyIpv4, totalLength);
}

bool isLocal(std::string_view address, const std::vector<Ipv6Address>& localIpv6) {
    return std::any_of(localIpv6.begin(), localIpv6.end(),
                       [&](const Ipv6Address& local) { return std::memcmp(local.data(), address.data(), 16) == 0; });
}

// A packet whose chain of extension headers is cut short is left out.
void tallyIpv6(std::string_view ip, const std::vector<Ipv6Address>& localIpv6, PcapTotals& totals) {
    if (ip.size() < 40) return;
    std::uint8_t next = static_cast<unsigned char>(ip[6]);
    std::size_t at = 40;
    bool firstFragment = true;
    for (int headers = 0; headers < 8 && (next == 0 || next == 43 || next == 44 || next == 60); ++headers) {
        if (ip.size() < at + 8) return;
        std::size_t length = (std::size_t(static_cast<unsigned char>(ip[at + 1])) + 1) * 8;
        if (next == 44) {
            firstFragment = (big16(ip, at + 2) & 0xfff8) == 0;
            length = 8;
        }
        next = static_cast<unsigned char>(ip[at]);
        at += length;
    }

    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    if ((next == kProtocolTcp || next == kProtocolUdp || next == kProtocolSctp) && firstFragment && ip.size() >= at + 4) {
        sourcePort = big16(ip, at);
        destinationPort = big16(ip, at + 2);
    }
    if (next == 58 && firstFragment && ip.size() > at) echoPorts(ip.substr(at), 128, 129, sourcePort, destinationPort);
    addEnds(totals, isLocal(ip.substr(8, 16), localIpv6), isLocal(ip.substr(24, 16), localIpv6), sourcePort,
            destinationPort, next, kFamilyIpv6, 40 + std::uint32_t(big16(ip, 4)));
}

void tallyFrame(std::string_view frame, std::uint32_t linkType, std::uint32_t localAddress,
                const std::vector<Ipv6Address>& localIpv6, PcapTotals& totals) {
    const std::optional<IpStart> start = ipStart(frame, linkType);
    if (!start || frame.size() <= start->offset) return;
    const std::string_view ip = frame.substr(start->offset);
    const unsigned version = static_cast<unsigned char>(ip[0]) >> 4;
    if (start->version != 0 && version != start->version) return;
    if (version == 4) tallyIpv4(ip, localAddress, totals);
    if (version == 6) tallyIpv6(ip, localIpv6, totals);
}

}  // namespace

FlowTally PcapTotals::flow(std::uint16_t localPort, std::uint16_t protocol, bool sent, std::uint8_t family) const {
    const auto found = flows.find(FlowKey{localPort, protocol, sent, family});
    return found == flows.end() ? FlowTally{} : found->second;
}

PcapTotals sumPcapFile(std::string_view bytes, std::uint32_t localAddress, const std::vector<Ipv6Address>& localIpv6) {
    PcapTotals totals;
    if (bytes.size() < kFileHeaderSize) {
        totals.problem = "shorter than a pcap file header";
        return totals;
    }
    const std::uint32_t magic = read32(bytes, 0, false);
    const std::uint32_t swappedMagic = read32(bytes, 0, true);
    bool swapped = false;
    if (magic == kMagicMicro || magic == kMagicNano) {
        swapped = false;
    } else if (swappedMagic == kMagicMicro || swappedMagic == kMagicNano) {
        swapped = true;
    } else {
        totals.problem = "not a pcap file (pcapng is not read)";
        return totals;
    }
    totals.linkType = read32(bytes, 20, swapped) & 0xffff;
    if (totals.linkType != kLinkEthernet && totals.linkType != kLinkRawIp && totals.linkType != kLinkLinuxCooked) {
        totals.problem = "link type " + std::to_string(totals.linkType) + " is not decoded";
        return totals;
    }
    totals.readable = true;

    std::size_t offset = kFileHeaderSize;
    while (offset < bytes.size()) {
        if (bytes.size() - offset < kRecordHeaderSize) {
            totals.truncatedTail = true;
            break;
        }
        const std::uint32_t capturedLength = read32(bytes, offset + 8, swapped);
        const std::size_t body = offset + kRecordHeaderSize;
        if (capturedLength > bytes.size() - body) {
            totals.truncatedTail = true;
            break;
        }
        tallyFrame(bytes.substr(body, capturedLength), totals.linkType, localAddress, localIpv6, totals);
        ++totals.records;
        offset = body + capturedLength;
    }
    return totals;
}

}  // namespace sondrel::e2e
