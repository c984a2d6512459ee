#include "probe/capture/decode_frame.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "tests/support/decode_frame_bytes.h"
#include "tests/support/test_frames.h"

namespace sondrel {

bool operator==(const PacketRecord& a, const PacketRecord& b) {
    return a.srcAddr == b.srcAddr && a.dstAddr == b.dstAddr && a.length == b.length && a.dstPort == b.dstPort &&
           a.srcPort == b.srcPort && a.protocol == b.protocol && a.family == b.family && a.timeNs == b.timeNs &&
           a.src6 == b.src6 && a.dst6 == b.dst6 && a.interfaceIndex == b.interfaceIndex;
}

void PrintTo(const PacketRecord& r, std::ostream* out) {
    *out << "{family " << int(r.family) << " src " << std::hex << r.srcAddr << " dst " << r.dstAddr;
    for (const auto* address : {&r.src6, &r.dst6}) {
        *out << (address == &r.src6 ? " src6 " : " dst6 ");
        for (const std::uint8_t byte : *address) {
            *out << int(byte) << ' ';
        }
    }
    *out << std::dec << " length " << r.length << " dstPort " << r.dstPort << " srcPort " << r.srcPort
         << " protocol " << r.protocol << " timeNs " << r.timeNs << "}";
}

namespace {

using test::Bytes;
using test::Extension;
using test::Ipv4Packet;
using test::Ipv6Packet;
using test::ipv4;
using test::ipv6;
using test::kAuthentication;
using test::kDestinationOptions;
using test::kFragmentHeader;
using test::kHopByHop;
using test::kHost6A;
using test::kHost6B;
using test::kRouting;
using test::onLink;
using test::stored;

const test::Address kA{10, 200, 0, 1};
const test::Address kB{192, 168, 7, 9};

PacketRecord record(const test::Address& src, const test::Address& dst, std::uint32_t length, std::uint16_t dstPort,
                    std::uint16_t srcPort, std::uint16_t protocol) {
    return PacketRecord{stored(src), stored(dst), length, dstPort, srcPort, protocol};
}

PacketRecord record6(const Ipv6Address& src, const Ipv6Address& dst, std::uint32_t length, std::uint16_t dstPort,
                     std::uint16_t srcPort, std::uint16_t protocol) {
    PacketRecord r{0, 0, length, dstPort, srcPort, protocol, kFamilyIpv6};
    r.src6 = src;
    r.dst6 = dst;
    return r;
}

// Every kind of extension header the decoder walks, with distinct sizes:
// 8 + 16 + 24 + 8 + 24 bytes.
const std::vector<Extension> kEveryKind{{.type = kHopByHop},
                                        {.type = kDestinationOptions, .lengthField = 1},
                                        {.type = kRouting, .lengthField = 2},
                                        {.type = kFragmentHeader, .moreFragments = true, .identification = 7},
                                        {.type = kAuthentication, .lengthField = 4}};

Bytes withVlanTag(const Bytes& ethernetFrame) {
    // The tag goes between the source address and the EtherType.
    Bytes frame = ethernetFrame;
    const std::array<std::uint8_t, 4> tag{0x81, 0x00, 0x00, 0x07};
    frame.insert(frame.begin() + 12, tag.begin(), tag.end());
    return frame;
}

Bytes padded(Bytes frame, std::size_t size) {
    frame.resize(size, 0);
    return frame;
}

struct DecodeCase {
    std::string name;
    LinkType link;
    Bytes frame;
    std::optional<PacketRecord> expected;
};

void PrintTo(const DecodeCase& c, std::ostream* out) {
    *out << c.name;
}

std::vector<DecodeCase> decodeCases() {
    const auto eth = [](const Ipv4Packet& p) { return onLink(LinkType::Ethernet, ipv4(p)); };
    const auto eth6 = [](const Ipv6Packet& p) { return onLink(LinkType::Ethernet, ipv6(p), 0x86DD); };
    return {
        {"EthernetTcp", LinkType::Ethernet, eth({.protocol = 6, .totalLength = 52, .src = kA, .dst = kB,
                                                 .srcPort = 40000, .dstPort = 443}),
         record(kA, kB, 52, 443, 40000, 6)},
        {"EthernetUdp", LinkType::Ethernet, eth({.protocol = 17, .totalLength = 76, .src = kB, .dst = kA,
                                                 .srcPort = 53, .dstPort = 51234}),
         record(kB, kA, 76, 51234, 53, 17)},
        {"IcmpPortsZero", LinkType::Ethernet, eth({.protocol = 1, .totalLength = 84, .src = kA, .dst = kB}),
         record(kA, kB, 84, 0, 0, 1)},
        // The builder's payload bytes 0xEE make the echo identifier 0xEEEE.
        {"IcmpEchoRequestIdentifierAsSourcePort", LinkType::Ethernet,
         eth({.protocol = 1, .totalLength = 84, .src = kA, .dst = kB, .srcPort = 0x0800}),
         record(kA, kB, 84, 0, 0xEEEE, 1)},
        {"IcmpEchoReplyIdentifierAsDestinationPort", LinkType::Ethernet,
         eth({.protocol = 1, .totalLength = 84, .src = kB, .dst = kA, .srcPort = 0x0000}),
         record(kB, kA, 84, 0xEEEE, 0, 1)},
        {"IcmpUnreachableNoIdentifier", LinkType::Ethernet, eth({.protocol = 1, .src = kA, .dst = kB, .srcPort = 0x0303}),
         record(kA, kB, 40, 0, 0, 1)},
        {"IcmpCutBeforeIdentifierStillCounted", LinkType::Ethernet,
         eth({.protocol = 1, .src = kA, .dst = kB, .srcPort = 0x0800, .payload = 0}), record(kA, kB, 40, 0, 0, 1)},
        {"Icmpv6EchoRequest", LinkType::Ethernet, eth6({.upper = 58, .srcPort = 0x8000}),
         record6(kHost6A, kHost6B, 60, 0, 0xEEEE, 58)},
        {"Icmpv6EchoReply", LinkType::Ethernet, eth6({.upper = 58, .srcPort = 0x8100}),
         record6(kHost6A, kHost6B, 60, 0xEEEE, 0, 58)},
        {"IcmpTypeInsideIpv6IsNoEcho", LinkType::Ethernet, eth6({.upper = 1, .srcPort = 0x0800}),
         record6(kHost6A, kHost6B, 60, 0, 0, 1)},
        {"SctpPorts", LinkType::Ethernet, eth({.protocol = 132, .totalLength = 64, .src = kA, .dst = kB,
                                                .srcPort = 5000, .dstPort = 38412}),
         record(kA, kB, 64, 38412, 5000, 132)},
        {"SctpCutInPortsDropped", LinkType::Ethernet, padded(eth({.protocol = 132, .payload = 0}), 14 + 22), std::nullopt},
        {"GrePortsZero", LinkType::Ethernet, eth({.protocol = 47, .totalLength = 100, .src = kA, .dst = kB}),
         record(kA, kB, 100, 0, 0, 47)},
        {"ProtocolByteKeptWhole", LinkType::Ethernet, eth({.protocol = 255, .totalLength = 20}),
         record(kA, {10, 200, 0, 2}, 20, 0, 0, 255)},
        {"TotalLengthToHostOrder", LinkType::Ethernet, eth({.protocol = 17, .totalLength = 0xFFFE}),
         record(kA, {10, 200, 0, 2}, 0xFFFE, 443, 40000, 17)},
        {"Ihl6PortsFromBytes38To41", LinkType::Ethernet,
         eth({.ihl = 6, .protocol = 6, .totalLength = 44, .srcPort = 0x1234, .dstPort = 0x5678}),
         record(kA, {10, 200, 0, 2}, 44, 0x5678, 0x1234, 6)},
        {"Ihl15PortsFromBytes74To77", LinkType::Ethernet,
         eth({.ihl = 15, .protocol = 17, .totalLength = 68, .srcPort = 7, .dstPort = 9, .payload = 0}),
         record(kA, {10, 200, 0, 2}, 68, 9, 7, 17)},
        // IHL 0: the "ports" are the version/IHL, TOS and Total Length bytes.
        {"Ihl0PortsFromIpHeaderStart", LinkType::Ethernet, eth({.ihl = 0, .protocol = 6, .totalLength = 0x0123}),
         record(kA, {10, 200, 0, 2}, 0x0123, 0x0123, 0x4000, 6)},
        // IHL 3: offset 12, the source address.
        {"Ihl3PortsFromSourceAddress", LinkType::Ethernet, eth({.ihl = 3, .protocol = 17, .src = kB}),
         record(kB, {10, 200, 0, 2}, 40, 0x0709, 0xC0A8, 17)},
        {"VersionNibbleIgnoredOnEthernet", LinkType::Ethernet, eth({.version = 6, .protocol = 6}),
         record(kA, {10, 200, 0, 2}, 40, 443, 40000, 6)},
        {"MinimumFramePaddingNotCounted", LinkType::Ethernet,
         padded(eth({.protocol = 6, .totalLength = 40, .payload = 0}), 60), record(kA, {10, 200, 0, 2}, 40, 443, 40000, 6)},
        {"FullSizeFrame", LinkType::Ethernet, padded(eth({.protocol = 6, .totalLength = 1500}), 1514),
         record(kA, {10, 200, 0, 2}, 1500, 443, 40000, 6)},
        {"EthernetArp", LinkType::Ethernet, onLink(LinkType::Ethernet, ipv4({}), 0x0806), std::nullopt},
        {"EtherTypeHighByteOnly", LinkType::Ethernet, onLink(LinkType::Ethernet, ipv4({}), 0x0801), std::nullopt},
        {"EtherTypeLowByteOnly", LinkType::Ethernet, onLink(LinkType::Ethernet, ipv4({}), 0x0000), std::nullopt},
        {"VlanTaggedIpv4", LinkType::Ethernet, withVlanTag(eth({})), std::nullopt},
        {"RawUdp", LinkType::Raw, ipv4({.protocol = 17, .totalLength = 33, .src = kB, .dst = kA, .srcPort = 51820,
                                        .dstPort = 1194}),
         record(kB, kA, 33, 1194, 51820, 17)},
        {"RawIhl6", LinkType::Raw, ipv4({.ihl = 6, .protocol = 6, .srcPort = 22, .dstPort = 50000}),
         record(kA, {10, 200, 0, 2}, 40, 50000, 22, 6)},
        {"RawVersionZero", LinkType::Raw, ipv4({.version = 0}), std::nullopt},
        {"RawVersionFifteen", LinkType::Raw, ipv4({.version = 15}), std::nullopt},
        {"CookedTcp", LinkType::LinuxCooked,
         onLink(LinkType::LinuxCooked, ipv4({.protocol = 6, .totalLength = 60, .src = kA, .dst = kB, .srcPort = 8080,
                                              .dstPort = 35000})),
         record(kA, kB, 60, 35000, 8080, 6)},
        {"Cooked2Tcp", LinkType::LinuxCooked2,
         onLink(LinkType::LinuxCooked2, ipv4({.protocol = 6, .totalLength = 60, .src = kA, .dst = kB, .srcPort = 8080,
                                               .dstPort = 35000})),
         [] {
             PacketRecord r = record(kA, kB, 60, 35000, 8080, 6);
             r.interfaceIndex = test::kCooked2Index;
             return r;
         }()},
        {"Cooked2Arp", LinkType::LinuxCooked2, onLink(LinkType::LinuxCooked2, ipv4({}), 0x0806), std::nullopt},
        {"CookedIcmp", LinkType::LinuxCooked, onLink(LinkType::LinuxCooked, ipv4({.protocol = 1})),
         record(kA, {10, 200, 0, 2}, 40, 0, 0, 1)},
        {"CookedArp", LinkType::LinuxCooked, onLink(LinkType::LinuxCooked, ipv4({}), 0x0806), std::nullopt},
        {"EthernetFrameOnCookedLink", LinkType::LinuxCooked, eth({}), std::nullopt},
        {"CookedFrameOnEthernetLink", LinkType::Ethernet, onLink(LinkType::LinuxCooked, ipv4({})), std::nullopt},
        {"UnsupportedLinkType", LinkType::Unsupported, eth({}), std::nullopt},
        {"Ipv4FirstFragmentHasPorts", LinkType::Ethernet, eth({.protocol = 17, .flagsAndOffset = 0x2000}),
         record(kA, {10, 200, 0, 2}, 40, 443, 40000, 17)},
        {"Ipv4MiddleFragmentHasNoPorts", LinkType::Ethernet,
         eth({.protocol = 17, .totalLength = 1500, .flagsAndOffset = 0x2000 | 185}),
         record(kA, {10, 200, 0, 2}, 1500, 0, 0, 17)},
        {"Ipv4LastFragmentHasNoPorts", LinkType::Ethernet, eth({.protocol = 6, .flagsAndOffset = 370}),
         record(kA, {10, 200, 0, 2}, 40, 0, 0, 6)},
        {"Ipv4DontFragmentIsWhole", LinkType::Ethernet, eth({.protocol = 6, .flagsAndOffset = 0x4000}),
         record(kA, {10, 200, 0, 2}, 40, 443, 40000, 6)},
        {"Ipv6EthernetTcp", LinkType::Ethernet, eth6({.payloadLength = 1440}),
         record6(kHost6A, kHost6B, 1480, 443, 40000, 6)},
        {"Ipv6RawUdp", LinkType::Raw, ipv6({.upper = 17, .srcPort = 53, .dstPort = 5353}),
         record6(kHost6A, kHost6B, 60, 5353, 53, 17)},
        {"Ipv6CookedTcp", LinkType::LinuxCooked, onLink(LinkType::LinuxCooked, ipv6({}), 0x86DD),
         record6(kHost6A, kHost6B, 60, 443, 40000, 6)},
        {"Ipv6Icmpv6PortsZero", LinkType::Ethernet, eth6({.upper = 58}), record6(kHost6A, kHost6B, 60, 0, 0, 58)},
        {"Ipv6HopByHop", LinkType::Ethernet, eth6({.extensions = {{.type = kHopByHop, .lengthField = 1}}}),
         record6(kHost6A, kHost6B, 60, 443, 40000, 6)},
        {"Ipv6Routing", LinkType::Ethernet,
         eth6({.extensions = {{.type = kRouting, .lengthField = 2}}, .upper = 17}),
         record6(kHost6A, kHost6B, 60, 443, 40000, 17)},
        {"Ipv6DestinationOptions", LinkType::Ethernet,
         eth6({.extensions = {{.type = kDestinationOptions, .lengthField = 3}}}),
         record6(kHost6A, kHost6B, 60, 443, 40000, 6)},
        // AH counts its length in 4-byte words minus 2: 24 bytes, not (4 + 1) x 8.
        {"Ipv6AuthenticationHeader", LinkType::Ethernet,
         eth6({.extensions = {{.type = kAuthentication, .lengthField = 4}}}),
         record6(kHost6A, kHost6B, 60, 443, 40000, 6)},
        {"Ipv6EveryKindInOneChain", LinkType::Ethernet, eth6({.extensions = kEveryKind, .upper = 17}),
         record6(kHost6A, kHost6B, 60, 443, 40000, 17)},
        {"Ipv6EspHasNoPorts", LinkType::Ethernet, eth6({.extensions = {{.type = kHopByHop}}, .upper = 50}),
         record6(kHost6A, kHost6B, 60, 0, 0, 50)},
        {"Ipv6NoNextHeader", LinkType::Ethernet, eth6({.payloadLength = 0, .upper = 59}),
         record6(kHost6A, kHost6B, 40, 0, 0, 59)},
        {"Ipv6MobilityIsAnUpperLayer", LinkType::Ethernet, eth6({.upper = 135}),
         record6(kHost6A, kHost6B, 60, 0, 0, 135)},
        {"Ipv6UdpLiteHasNoPorts", LinkType::Ethernet, eth6({.upper = 136}), record6(kHost6A, kHost6B, 60, 0, 0, 136)},
        {"Ipv6EightHeadersAreWalked", LinkType::Ethernet,
         eth6({.extensions = std::vector<Extension>(8, Extension{}), .upper = 17}),
         record6(kHost6A, kHost6B, 60, 443, 40000, 17)},
        {"Ipv6NinthHeaderTakenAsUpperLayer", LinkType::Ethernet,
         eth6({.extensions = std::vector<Extension>(9, Extension{}), .upper = 17}),
         record6(kHost6A, kHost6B, 60, 0, 0, kDestinationOptions)},
        {"Ipv6FirstFragmentHasPorts", LinkType::Ethernet,
         eth6({.extensions = {{.type = kFragmentHeader, .moreFragments = true, .identification = 1}}}),
         record6(kHost6A, kHost6B, 60, 443, 40000, 6)},
        {"Ipv6AtomicFragmentHasPorts", LinkType::Ethernet,
         eth6({.extensions = {{.type = kFragmentHeader, .identification = 1}}}),
         record6(kHost6A, kHost6B, 60, 443, 40000, 6)},
        {"Ipv6LaterFragmentHasNoPorts", LinkType::Ethernet,
         eth6({.payloadLength = 1240,
               .extensions = {{.type = kHopByHop}, {.type = kFragmentHeader, .fragmentOffset = 151}},
               .upper = 17}),
         record6(kHost6A, kHost6B, 1280, 0, 0, 17)},
        // The fragmentable part of a later fragment is payload: the walk stops at
        // the fragment header whatever its Next Header says.
        {"Ipv6LaterFragmentStopsTheWalk", LinkType::Ethernet,
         eth6({.extensions = {{.type = kFragmentHeader, .fragmentOffset = 1}, {.type = kDestinationOptions}}}),
         record6(kHost6A, kHost6B, 60, 0, 0, kDestinationOptions)},
        {"Ipv6LargestPayloadLength", LinkType::Ethernet, eth6({.payloadLength = 0xFFFF}),
         record6(kHost6A, kHost6B, 65575, 443, 40000, 6)},
        {"Ipv6VersionNibbleIgnoredOnEthernet", LinkType::Ethernet, eth6({.version = 4}),
         record6(kHost6A, kHost6B, 60, 443, 40000, 6)},
        {"Ipv6VlanTagged", LinkType::Ethernet, withVlanTag(eth6({})), std::nullopt},
        {"Ipv6EtherTypeLowByteOnly", LinkType::Ethernet, onLink(LinkType::Ethernet, ipv6({}), 0x00DD), std::nullopt},
        {"Ipv6CookedArp", LinkType::LinuxCooked, onLink(LinkType::LinuxCooked, ipv6({}), 0x0806), std::nullopt},
    };
}

class DecodeFrameTable : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeFrameTable, DecodesAsTheFieldRulesSay) {
    const DecodeCase& c = GetParam();
    EXPECT_EQ(decodeFrameBytes(c.frame, c.link), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Frames, DecodeFrameTable, testing::ValuesIn(decodeCases()),
                         [](const auto& info) { return info.param.name; });

struct Truncation {
    std::string name;
    LinkType link;
    Bytes packet;           // the IP packet, without the link header
    std::size_t bytesRead;  // the shortest captured IP packet that queues a record
};

void PrintTo(const Truncation& t, std::ostream* out) {
    *out << t.name;
}

class TruncatedFrames : public testing::TestWithParam<Truncation> {};

// Every captured length up to the whole frame: a record exactly when the frame
// holds every byte the decoder reads. Each prefix lives in a heap block of
// exactly its length, so the sanitizer trees catch any read beyond it.
TEST_P(TruncatedFrames, QueueNothingUntilEveryReadByteIsCaptured) {
    const Truncation& t = GetParam();
    const bool isIpv6 = (t.packet[0] >> 4) == 6;
    const Bytes full = onLink(t.link, t.packet, isIpv6 ? 0x86DD : 0x0800);
    const std::size_t bytesRead = test::linkHeaderSize(t.link) + t.bytesRead;
    const auto whole = decodeFrameBytes(full, t.link);
    ASSERT_TRUE(whole.has_value());
    ASSERT_GT(full.size(), bytesRead);
    for (std::size_t length = 0; length <= full.size(); ++length) {
        auto block = std::make_unique<std::uint8_t[]>(length);
        std::copy_n(full.begin(), length, block.get());
        const auto decoded = decodeFrameBytes(std::span<const std::uint8_t>(block.get(), length), t.link);
        if (length < bytesRead) {
            EXPECT_FALSE(decoded.has_value()) << "captured length " << length;
        } else {
            EXPECT_EQ(decoded, whole) << "captured length " << length;
        }

        PacketQueue queue;
        DecodeContext context{&queue, t.link};
        const pcap_pkthdr header{{}, static_cast<bpf_u_int32>(length), static_cast<bpf_u_int32>(full.size())};
        DecodeFrame(reinterpret_cast<u_char*>(&context), &header, block.get());
        EXPECT_EQ(queue.records().size(), length < bytesRead ? 0u : 1u) << "captured length " << length;
    }
}

std::vector<Truncation> truncations() {
    const auto later6 = [](std::uint8_t upper) {
        return ipv6({.extensions = {{.type = kHopByHop}, {.type = kFragmentHeader, .fragmentOffset = 8}},
                     .upper = upper});
    };
    std::vector<Truncation> rows;
    for (const auto& [prefix, link] : {std::pair{"Ethernet", LinkType::Ethernet}, std::pair{"Raw", LinkType::Raw},
                                       std::pair{"Cooked", LinkType::LinuxCooked},
                                       std::pair{"Cooked2", LinkType::LinuxCooked2}}) {
        const std::string name = prefix;
        rows.push_back({name + "TcpIhl5", link, ipv4({.protocol = 6, .payload = 80}), 24});
        rows.push_back({name + "UdpIhl5", link, ipv4({.protocol = 17, .payload = 80}), 24});
        rows.push_back({name + "TcpIhl15", link, ipv4({.ihl = 15, .protocol = 6, .payload = 20}), 64});
        rows.push_back({name + "UdpIhl8", link, ipv4({.ihl = 8, .protocol = 17, .payload = 60}), 36});
        rows.push_back({name + "TcpIhl2", link, ipv4({.ihl = 2, .protocol = 6, .payload = 80}), 20});
        rows.push_back({name + "Icmp", link, ipv4({.protocol = 1, .payload = 80}), 20});
        rows.push_back({name + "Ipv4LaterFragment", link, ipv4({.protocol = 17, .flagsAndOffset = 185}), 20});
        rows.push_back({name + "Ipv6Tcp", link, ipv6({}), 44});
        rows.push_back({name + "Ipv6Icmpv6", link, ipv6({.upper = 58}), 40});
        rows.push_back({name + "Ipv6EveryKindThenTcp", link, ipv6({.extensions = kEveryKind}), 40 + 80 + 4});
        // Of the last header (AH) only Next Header and its length are read.
        rows.push_back({name + "Ipv6EveryKindThenEsp", link, ipv6({.extensions = kEveryKind, .upper = 50}),
                        40 + 56 + 2});
        rows.push_back({name + "Ipv6HopByHopThenIcmpv6", link,
                        ipv6({.extensions = {{.type = kHopByHop, .lengthField = 3}}, .upper = 58}), 42});
        rows.push_back({name + "Ipv6LaterFragmentUdp", link, later6(17), 40 + 8 + 8});
        rows.push_back({name + "Ipv6LaterFragmentTcp", link, later6(6), 40 + 8 + 8});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(EveryLength, TruncatedFrames, testing::ValuesIn(truncations()),
                         [](const auto& info) { return info.param.name; });

struct JumboCase {
    std::string name;
    std::uint16_t payloadLength;
    std::size_t wireLength;  // of the IP packet, link header not included
    std::uint32_t expected;
};

// Payload Length 0 cannot describe a packet above 40 + 65535 bytes; such a one
// (an RFC 2675 jumbogram, or what GRO hands over for BIG TCP) counts its wire size.
TEST(DecodePacket, Ipv6LengthFromPayloadLengthOrForJumbogramsTheWire) {
    const JumboCase rows[] = {
        {"PayloadLengthCounts", 1000, 100000, 1040},
        {"ZeroPayload", 0, 40, 40},
        {"ZeroPayloadInPaddedEthernetFrame", 0, 46, 40},
        {"ZeroPayloadAtLargestExpressible", 0, 40 + 65535, 40},
        {"Jumbogram", 0, 40 + 65536, 40 + 65536},
        {"BigTcpAggregate", 0, 185000, 185000},
    };
    for (const auto& row : rows) {
        const Bytes frame = onLink(LinkType::Ethernet, ipv6({.payloadLength = row.payloadLength}), 0x86DD);
        PacketRecord record;
        FragmentFields fragment;
        ASSERT_TRUE(decodeHeaders(frame, LinkType::Ethernet, 14 + row.wireLength, record, fragment)) << row.name;
        EXPECT_EQ(record.length, row.expected) << row.name;
    }
}

TEST(DecodeFrameHandler, AppendsRecordsInCaptureOrderAndSkipsOthers) {
    const Bytes first = onLink(LinkType::Ethernet, ipv4({.totalLength = 100, .srcPort = 1}));
    const Bytes arp = onLink(LinkType::Ethernet, ipv4({}), 0x0806);
    const Bytes second = onLink(LinkType::Ethernet, ipv4({.protocol = 1, .totalLength = 200}));
    const Bytes third = onLink(LinkType::Ethernet, ipv4({.protocol = 17, .totalLength = 300, .srcPort = 3}));

    PacketQueue queue;
    DecodeContext context{&queue, LinkType::Ethernet};
    for (const Bytes* frame : {&first, &arp, &second, &third}) {
        const pcap_pkthdr header{{}, static_cast<bpf_u_int32>(frame->size()), static_cast<bpf_u_int32>(frame->size())};
        DecodeFrame(reinterpret_cast<u_char*>(&context), &header, frame->data());
    }

    const test::Address b{10, 200, 0, 2};
    const std::vector<PacketRecord> expected{record(kA, b, 100, 443, 1, 6), record(kA, b, 200, 0, 0, 1),
                                             record(kA, b, 300, 443, 3, 17)};
    EXPECT_EQ(std::vector<PacketRecord>(queue.records().begin(), queue.records().end()), expected);
}

TEST(DecodeFrameHandler, CapturedLengthNotWireLengthBoundsTheRead) {
    const Bytes frame = onLink(LinkType::Ethernet, ipv4({.ihl = 15, .protocol = 6, .payload = 0}));
    PacketQueue queue;
    DecodeContext context{&queue, LinkType::Ethernet};
    const pcap_pkthdr header{{}, static_cast<bpf_u_int32>(frame.size() - 1), 1514};
    DecodeFrame(reinterpret_cast<u_char*>(&context), &header, frame.data());
    EXPECT_TRUE(queue.records().empty());
}

// The "any" device: frames of interfaces not named are left out, and a packet
// that a second interface shows again moments later (a bridge and its port)
// is counted once; the same interface repeating it is a new packet.
TEST(DecodeFrameHandler, AnyDeviceCountsNamedInterfacesAndEachPacketOnce) {
    const auto nameOf = [](std::uint32_t index) -> std::optional<std::string> {
        if (index == 0 || index > 3) return std::nullopt;
        return std::string(1, char('a' + index - 1));
    };
    const struct {
        std::uint32_t index;
        std::uint16_t srcPort;  // tells packets apart
        std::int64_t timeUs;
        bool counted;
    } steps[] = {
        {1, 1, 0, true},       {2, 1, 10, false},   {1, 1, 20, true},  {3, 2, 30, false},
        {2, 1, 10'000, true},  {2, 3, 10'010, true}, {1, 3, 10'020, false},
    };
    InterfaceFilter filter({"a", "b"}, nameOf);
    DuplicateFrames duplicates;
    PacketQueue queue;
    DecodeContext context{&queue, LinkType::LinuxCooked2};
    context.interfaces = &filter;
    context.duplicates = &duplicates;
    std::vector<std::uint32_t> expected;
    for (const auto& step : steps) {
        Bytes frame = onLink(LinkType::LinuxCooked2, ipv4({.protocol = 17, .srcPort = step.srcPort}));
        frame[7] = std::uint8_t(step.index);
        pcap_pkthdr header{{}, static_cast<bpf_u_int32>(frame.size()), static_cast<bpf_u_int32>(frame.size())};
        header.ts.tv_usec = step.timeUs;
        DecodeFrame(reinterpret_cast<u_char*>(&context), &header, frame.data());
        if (step.counted) expected.push_back(step.index);
    }
    std::vector<std::uint32_t> counted;
    for (const PacketRecord& record : queue.records()) counted.push_back(record.interfaceIndex);
    EXPECT_EQ(counted, expected);
}

struct DatalinkCase {
    std::string name;
    int datalink;
    LinkType expected;
};

void PrintTo(const DatalinkCase& c, std::ostream* out) {
    *out << c.name;
}

class DatalinkMapping : public testing::TestWithParam<DatalinkCase> {};

TEST_P(DatalinkMapping, PicksTheDecoder) {
    EXPECT_EQ(linkTypeFromDatalink(GetParam().datalink), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Datalinks, DatalinkMapping,
                         testing::Values(DatalinkCase{"Ethernet", DLT_EN10MB, LinkType::Ethernet},
                                         DatalinkCase{"RawIp", DLT_RAW, LinkType::Raw},
                                         DatalinkCase{"LinuxCooked", DLT_LINUX_SLL, LinkType::LinuxCooked},
                                         DatalinkCase{"LinuxCookedV2", DLT_LINUX_SLL2, LinkType::LinuxCooked2},
                                         DatalinkCase{"Null", DLT_NULL, LinkType::Unsupported},
                                         DatalinkCase{"Radiotap", DLT_IEEE802_11_RADIO, LinkType::Unsupported}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace sondrel
