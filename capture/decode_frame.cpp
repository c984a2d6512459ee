#include "capture/decode_frame.h"

#include <cstring>

namespace sondrel {

namespace {

constexpr std::size_t kEthernetHeader = 14;
constexpr std::size_t kCookedHeader = 16;
constexpr std::size_t kIpFixedHeader = 20;
constexpr std::uint8_t kTcp = 6;
constexpr std::uint8_t kUdp = 17;

std::uint16_t bigEndian16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

// Addresses stay in network order so they compare directly with localAddress.
std::uint32_t asStored32(const std::uint8_t* bytes) {
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

std::optional<PacketRecord> decodeIpv4(std::span<const std::uint8_t> frame, std::size_t ipOffset) {
    if (frame.size() < ipOffset + kIpFixedHeader) {
        return std::nullopt;
    }
    const std::uint8_t* ip = frame.data() + ipOffset;
    PacketRecord record;
    record.protocol = ip[9];
    record.length = bigEndian16(ip + 2);
    record.srcAddr = asStored32(ip + 12);
    record.dstAddr = asStored32(ip + 16);
    if (record.protocol == kTcp || record.protocol == kUdp) {
        // An IHL below 5 points the ports back into the fixed header, which is
        // already known to be inside the frame.
        const std::size_t transport = ipOffset + 4u * (ip[0] & 0x0Fu);
        if (frame.size() < transport + 4) {
            return std::nullopt;
        }
        record.srcPort = bigEndian16(frame.data() + transport);
        record.dstPort = bigEndian16(frame.data() + transport + 2);
    }
    return record;
}

}  // namespace

LinkType linkTypeFromDatalink(int datalink) {
    switch (datalink) {
    case DLT_EN10MB:
        return LinkType::Ethernet;
    case DLT_RAW:
        return LinkType::Raw;
    case DLT_LINUX_SLL:
        return LinkType::LinuxCooked;
    default:
        return LinkType::Unsupported;
    }
}

std::optional<PacketRecord> decodeFrame(std::span<const std::uint8_t> frame, LinkType linkType) {
    std::size_t ipOffset = 0;
    switch (linkType) {
    case LinkType::Ethernet:
        // A VLAN tag (0x8100) moves the EtherType, so tagged frames stop here.
        if (frame.size() < kEthernetHeader || frame[12] != 0x08 || frame[13] != 0x00) {
            return std::nullopt;
        }
        ipOffset = kEthernetHeader;
        break;
    case LinkType::Raw:
        if (frame.empty() || (frame[0] >> 4) != 4) {
            return std::nullopt;
        }
        break;
    case LinkType::LinuxCooked:
        if (frame.size() < kCookedHeader || frame[14] != 0x08 || frame[15] != 0x00) {
            return std::nullopt;
        }
        ipOffset = kCookedHeader;
        break;
    case LinkType::Unsupported:
    default:
        return std::nullopt;
    }
    return decodeIpv4(frame, ipOffset);
}

void DecodeFrame(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
    const auto& context = *reinterpret_cast<const DecodeContext*>(user);
    const auto record = decodeFrame(std::span<const std::uint8_t>(bytes, header->caplen), context.linkType);
    if (record) {
        context.queue->push(*record);
    }
}

}  // namespace sondrel
