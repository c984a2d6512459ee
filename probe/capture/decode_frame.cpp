#include "probe/capture/decode_frame.h"

#include <cstring>

namespace sondrel {

namespace {

constexpr std::size_t kEthernetHeader = 14;
constexpr std::size_t kCookedHeader = 16;
constexpr std::size_t kCooked2Header = 20;
constexpr std::size_t kIpv4FixedHeader = 20;
constexpr std::size_t kIpv6FixedHeader = 40;
constexpr std::size_t kIpv6LargestPayload = 65535;

constexpr std::uint8_t kIcmp = 1;
constexpr std::uint8_t kTcp = 6;
constexpr std::uint8_t kUdp = 17;
constexpr std::uint8_t kIcmpv6 = 58;
constexpr std::uint8_t kSctp = 132;
constexpr std::uint8_t kIcmpEchoReply = 0;
constexpr std::uint8_t kIcmpEchoRequest = 8;
constexpr std::uint8_t kIcmpv6EchoRequest = 128;
constexpr std::uint8_t kIcmpv6EchoReply = 129;
constexpr std::uint8_t kHopByHop = 0;
constexpr std::uint8_t kRouting = 43;
constexpr std::uint8_t kFragment = 44;
constexpr std::uint8_t kAuthentication = 51;
constexpr std::uint8_t kDestinationOptions = 60;

constexpr std::uint16_t kIpv4MoreFragments = 0x2000;
constexpr std::uint16_t kIpv4FragmentOffset = 0x1FFF;

enum class Network : std::uint8_t { None, Ipv4, Ipv6 };

std::uint16_t bigEndian16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

std::uint32_t bigEndian32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

// Addresses stay in network order so they compare directly with localAddress.
std::uint32_t asStored32(const std::uint8_t* bytes) {
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// The transport header at offset: the ports of TCP, UDP and SCTP; of an
// echo, the identifier a ping socket has as its port, on the end that the
// socket is at (a request's source, a reply's destination), so that echoes
// the kernel answers or makes itself find no socket. False when the ports of
// TCP, UDP or SCTP are not all captured; ICMP without its identifier is
// counted all the same, as ICMP always was.
bool readTransport(std::span<const std::uint8_t> frame, std::size_t offset, std::uint8_t protocol,
                   PacketRecord& record) {
    const bool ipv4 = record.family == kFamilyIpv4;
    const bool icmp = protocol == (ipv4 ? kIcmp : kIcmpv6);
    if (protocol != kTcp && protocol != kUdp && protocol != kSctp && !icmp) return true;
    if (frame.size() < offset + (icmp ? 6 : 4)) return icmp;
    const std::uint8_t* header = frame.data() + offset;
    if (!icmp) {
        record.srcPort = bigEndian16(header);
        record.dstPort = bigEndian16(header + 2);
    } else if (header[0] == (ipv4 ? kIcmpEchoRequest : kIcmpv6EchoRequest)) {
        record.srcPort = bigEndian16(header + 4);
    } else if (header[0] == (ipv4 ? kIcmpEchoReply : kIcmpv6EchoReply)) {
        record.dstPort = bigEndian16(header + 4);
    }
    return true;
}

Network networkOf(std::span<const std::uint8_t> frame, LinkType linkType, std::size_t& ipOffset) {
    const auto byType = [](std::uint8_t high, std::uint8_t low) {
        if (high == 0x08 && low == 0x00) return Network::Ipv4;
        if (high == 0x86 && low == 0xDD) return Network::Ipv6;
        return Network::None;
    };
    switch (linkType) {
    case LinkType::Ethernet:
        // A VLAN tag (0x8100) moves the EtherType, so tagged frames stop here.
        if (frame.size() < kEthernetHeader) {
            return Network::None;
        }
        ipOffset = kEthernetHeader;
        return byType(frame[12], frame[13]);
    case LinkType::Raw:
        ipOffset = 0;
        if (frame.empty()) {
            return Network::None;
        }
        return (frame[0] >> 4) == 4 ? Network::Ipv4 : (frame[0] >> 4) == 6 ? Network::Ipv6 : Network::None;
    case LinkType::LinuxCooked:
        if (frame.size() < kCookedHeader) {
            return Network::None;
        }
        ipOffset = kCookedHeader;
        return byType(frame[14], frame[15]);
    case LinkType::LinuxCooked2:
        if (frame.size() < kCooked2Header) {
            return Network::None;
        }
        ipOffset = kCooked2Header;
        return byType(frame[0], frame[1]);
    case LinkType::Unsupported:
        break;
    }
    return Network::None;
}

bool decodeIpv4(std::span<const std::uint8_t> frame, std::size_t ipOffset, PacketRecord& record,
                FragmentFields& fragment) {
    if (frame.size() < ipOffset + kIpv4FixedHeader) {
        return false;
    }
    const std::uint8_t* ip = frame.data() + ipOffset;
    record = PacketRecord{};
    fragment = FragmentFields{};
    record.protocol = ip[9];
    record.length = bigEndian16(ip + 2);
    record.srcAddr = asStored32(ip + 12);
    record.dstAddr = asStored32(ip + 16);
    const std::uint16_t flagsAndOffset = bigEndian16(ip + 6);
    if ((flagsAndOffset & (kIpv4MoreFragments | kIpv4FragmentOffset)) != 0) {
        fragment.identification = bigEndian16(ip + 4);
        fragment.keyProtocol = ip[9];
        if ((flagsAndOffset & kIpv4FragmentOffset) != 0) {
            fragment.role = FragmentRole::Later;
            return true;
        }
        fragment.role = FragmentRole::First;
    }
    // An IHL below 5 points the ports back into the fixed header, which is
    // already known to be inside the frame.
    return readTransport(frame, ipOffset + 4u * (ip[0] & 0x0Fu), ip[9], record);
}

bool decodeIpv6(std::span<const std::uint8_t> frame, std::size_t ipOffset, std::size_t wireLength,
                PacketRecord& record, FragmentFields& fragment) {
    if (frame.size() < ipOffset + kIpv6FixedHeader) {
        return false;
    }
    const std::uint8_t* ip = frame.data() + ipOffset;
    record = PacketRecord{};
    fragment = FragmentFields{};
    record.family = kFamilyIpv6;
    const std::size_t payloadLength = bigEndian16(ip + 4);
    record.length = static_cast<std::uint32_t>(kIpv6FixedHeader + payloadLength);
    if (payloadLength == 0 && wireLength > ipOffset + kIpv6FixedHeader + kIpv6LargestPayload) {
        record.length = static_cast<std::uint32_t>(wireLength - ipOffset);
    }
    std::memcpy(record.src6.data(), ip + 8, record.src6.size());
    std::memcpy(record.dst6.data(), ip + 24, record.dst6.size());

    std::uint8_t next = ip[6];
    std::size_t offset = ipOffset + kIpv6FixedHeader;
    for (int walked = 0; walked < kMaxIpv6ExtensionHeaders; ++walked) {
        const bool generic = next == kHopByHop || next == kRouting || next == kDestinationOptions;
        if (!generic && next != kAuthentication && next != kFragment) {
            break;
        }
        // Two bytes (Next Header, length) are read, eight of a fragment header.
        if (frame.size() < offset + (next == kFragment ? 8 : 2)) {
            return false;
        }
        const std::uint8_t* header = frame.data() + offset;
        const std::uint8_t type = next;
        next = header[0];
        if (generic) {
            offset += (std::size_t{header[1]} + 1) * 8;
        } else if (type == kAuthentication) {
            offset += (std::size_t{header[1]} + 2) * 4;
        } else {
            fragment.keyProtocol = next;
            fragment.identification = bigEndian32(header + 4);
            const std::uint16_t offsetAndFlags = bigEndian16(header + 2);
            if ((offsetAndFlags >> 3) != 0) {
                fragment.role = FragmentRole::Later;
                record.protocol = next;
                return true;
            }
            fragment.role = (offsetAndFlags & 1) != 0 ? FragmentRole::First : FragmentRole::Whole;
            offset += 8;
        }
    }
    record.protocol = next;
    return readTransport(frame, offset, next, record);
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
    case DLT_LINUX_SLL2:
        return LinkType::LinuxCooked2;
    default:
        return LinkType::Unsupported;
    }
}

bool decodeHeaders(std::span<const std::uint8_t> frame, LinkType linkType, std::size_t wireLength,
                   PacketRecord& record, FragmentFields& fragment) {
    std::size_t ipOffset = 0;
    bool decoded = false;
    switch (networkOf(frame, linkType, ipOffset)) {
    case Network::Ipv4:
        decoded = decodeIpv4(frame, ipOffset, record, fragment);
        break;
    case Network::Ipv6:
        decoded = decodeIpv6(frame, ipOffset, wireLength, record, fragment);
        break;
    case Network::None:
        break;
    }
    if (decoded && linkType == LinkType::LinuxCooked2) record.interfaceIndex = bigEndian32(frame.data() + 4);
    return decoded;
}

void DecodeFrame(u_char* user, const struct pcap_pkthdr* header, const u_char* bytes) {
    auto& context = *reinterpret_cast<DecodeContext*>(user);
    PacketRecord record;
    FragmentFields fragment;
    if (!decodeHeaders(std::span<const std::uint8_t>(bytes, header->caplen), context.linkType, header->len, record,
                       fragment)) {
        return;
    }
    if (context.linkType == LinkType::LinuxCooked2) {
        if (context.interfaces != nullptr && !context.interfaces->counts(record.interfaceIndex)) return;
    } else {
        record.interfaceIndex = context.interfaceIndex;
    }
    // Unsigned arithmetic: a nonsensical time stamp wraps instead of overflowing.
    const std::uint64_t fraction =
        static_cast<std::uint64_t>(header->ts.tv_usec) * (context.nanosecondTimestamps ? 1u : 1000u);
    record.timeNs =
        static_cast<std::int64_t>(static_cast<std::uint64_t>(header->ts.tv_sec) * 1'000'000'000u + fraction);
    if (context.duplicates != nullptr && context.linkType == LinkType::LinuxCooked2 &&
        context.duplicates->seenOnOtherInterface(
            std::span<const std::uint8_t>(bytes, header->caplen).subspan(kCooked2Header), record.interfaceIndex,
            record.timeNs)) {
        return;
    }
    if (fragment.role != FragmentRole::Whole) {
        context.fragments.apply(fragment, record);
    }
    context.queue->push(record);
}

}  // namespace sondrel
