#include "tests/e2e/pcap_totals.h"

#include <cstring>
#include <optional>

namespace sondrel::e2e {

namespace {

constexpr std::uint32_t kMagicMicro = 0xa1b2c3d4;
constexpr std::uint32_t kMagicNano = 0xa1b23c4d;
constexpr std::size_t kFileHeaderSize = 24;
constexpr std::size_t kRecordHeaderSize = 16;
constexpr std::uint32_t kLinkEthernet = 1;
constexpr std::uint32_t kLinkRawIPv4 = 101;
constexpr std::uint32_t kLinkLinuxCooked = 113;
constexpr std::uint16_t kProtocolTcp = 6;
constexpr std::uint16_t kProtocolUdp = 17;

std::uint32_t read32(std::string_view bytes, std::size_t offset, bool swapped) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
    if (swapped) return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
    return std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
}

std::uint16_t big16(std::string_view bytes, std::size_t offset) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

// Where the IPv4 header starts in a frame of this link type, or nothing when
// the frame does not carry IPv4.
std::optional<std::size_t> ipv4Offset(std::string_view frame, std::uint32_t linkType) {
    switch (linkType) {
    case kLinkEthernet:
        if (frame.size() >= 14 && big16(frame, 12) == 0x0800) return 14;
        return std::nullopt;
    case kLinkLinuxCooked:
        if (frame.size() >= 16 && big16(frame, 14) == 0x0800) return 16;
        return std::nullopt;
    case kLinkRawIPv4:
        return 0;
    default:
        return std::nullopt;
    }
}

void tallyFrame(std::string_view frame, std::uint32_t linkType, std::uint32_t localAddress, PcapTotals& totals) {
    const std::optional<std::size_t> start = ipv4Offset(frame, linkType);
    if (!start || frame.size() < *start + 20) return;
    const std::string_view ip = frame.substr(*start);
    if ((static_cast<unsigned char>(ip[0]) >> 4) != 4) return;
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
    const bool hasPorts = protocol == kProtocolTcp || protocol == kProtocolUdp;
    if (hasPorts && firstFragment && headerLength >= 20 && ip.size() >= headerLength + 4) {
        sourcePort = big16(ip, headerLength);
        destinationPort = big16(ip, headerLength + 2);
    }

    FlowKey key;
    key.protocol = protocol;
    if (source == localAddress) {
        key.sent = true;
        key.localPort = sourcePort;
    } else if (destination == localAddress) {
        key.localPort = destinationPort;
    } else {
        ++totals.foreignPackets;
        return;
    }
    FlowTally& tally = totals.flows[key];
    tally.bytes += totalLength;
    ++tally.packets;
}

}  // namespace

FlowTally PcapTotals::flow(std::uint16_t localPort, std::uint16_t protocol, bool sent) const {
    const auto found = flows.find(FlowKey{localPort, protocol, sent});
    return found == flows.end() ? FlowTally{} : found->second;
}

PcapTotals sumPcapFile(std::string_view bytes, std::uint32_t localAddress) {
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
    if (totals.linkType != kLinkEthernet && totals.linkType != kLinkRawIPv4 && totals.linkType != kLinkLinuxCooked) {
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
        tallyFrame(bytes.substr(body, capturedLength), totals.linkType, localAddress, totals);
        ++totals.records;
        offset = body + capturedLength;
    }
    return totals;
}

}  // namespace sondrel::e2e
