#include "capture/decode_frame.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "tests/capture/test_frames.h"

namespace sondrel {

bool operator==(const PacketRecord& a, const PacketRecord& b) {
    return a.srcAddr == b.srcAddr && a.dstAddr == b.dstAddr && a.length == b.length && a.dstPort == b.dstPort &&
           a.srcPort == b.srcPort && a.protocol == b.protocol;
}

void PrintTo(const PacketRecord& r, std::ostream* out) {
    *out << "{src " << std::hex << r.srcAddr << " dst " << r.dstAddr << std::dec << " length " << r.length
         << " dstPort " << r.dstPort << " srcPort " << r.srcPort << " protocol " << r.protocol << "}";
}

namespace {

using test::Bytes;
using test::Ipv4Packet;
using test::ipv4;
using test::onLink;
using test::stored;

const test::Address kA{10, 200, 0, 1};
const test::Address kB{192, 168, 7, 9};

PacketRecord record(const test::Address& src, const test::Address& dst, std::uint32_t length, std::uint16_t dstPort,
                    std::uint16_t srcPort, std::uint16_t protocol) {
    return PacketRecord{stored(src), stored(dst), length, dstPort, srcPort, protocol};
}

Bytes withVlanTag(const Bytes& ethernetFrame) {
    // The tag goes between the source address and the EtherType 0x0800.
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
    return {
        {"EthernetTcp", LinkType::Ethernet, eth({.protocol = 6, .totalLength = 52, .src = kA, .dst = kB,
                                                 .srcPort = 40000, .dstPort = 443}),
         record(kA, kB, 52, 443, 40000, 6)},
        {"EthernetUdp", LinkType::Ethernet, eth({.protocol = 17, .totalLength = 76, .src = kB, .dst = kA,
                                                 .srcPort = 53, .dstPort = 51234}),
         record(kB, kA, 76, 51234, 53, 17)},
        {"IcmpPortsZero", LinkType::Ethernet, eth({.protocol = 1, .totalLength = 84, .src = kA, .dst = kB}),
         record(kA, kB, 84, 0, 0, 1)},
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
        {"EthernetIpv6", LinkType::Ethernet, onLink(LinkType::Ethernet, ipv4({}), 0x86DD), std::nullopt},
        {"EthernetArp", LinkType::Ethernet, onLink(LinkType::Ethernet, ipv4({}), 0x0806), std::nullopt},
        {"EtherTypeHighByteOnly", LinkType::Ethernet, onLink(LinkType::Ethernet, ipv4({}), 0x0801), std::nullopt},
        {"EtherTypeLowByteOnly", LinkType::Ethernet, onLink(LinkType::Ethernet, ipv4({}), 0x0000), std::nullopt},
        {"VlanTaggedIpv4", LinkType::Ethernet, withVlanTag(eth({})), std::nullopt},
        {"RawUdp", LinkType::Raw, ipv4({.protocol = 17, .totalLength = 33, .src = kB, .dst = kA, .srcPort = 51820,
                                        .dstPort = 1194}),
         record(kB, kA, 33, 1194, 51820, 17)},
        {"RawIhl6", LinkType::Raw, ipv4({.ihl = 6, .protocol = 6, .srcPort = 22, .dstPort = 50000}),
         record(kA, {10, 200, 0, 2}, 40, 50000, 22, 6)},
        {"RawIpv6", LinkType::Raw, ipv4({.version = 6}), std::nullopt},
        {"RawVersionZero", LinkType::Raw, ipv4({.version = 0}), std::nullopt},
        {"RawVersionFifteen", LinkType::Raw, ipv4({.version = 15}), std::nullopt},
        {"CookedTcp", LinkType::LinuxCooked,
         onLink(LinkType::LinuxCooked, ipv4({.protocol = 6, .totalLength = 60, .src = kA, .dst = kB, .srcPort = 8080,
                                              .dstPort = 35000})),
         record(kA, kB, 60, 35000, 8080, 6)},
        {"CookedIcmp", LinkType::LinuxCooked, onLink(LinkType::LinuxCooked, ipv4({.protocol = 1})),
         record(kA, {10, 200, 0, 2}, 40, 0, 0, 1)},
        {"CookedIpv6", LinkType::LinuxCooked, onLink(LinkType::LinuxCooked, ipv4({}), 0x86DD), std::nullopt},
        {"CookedArp", LinkType::LinuxCooked, onLink(LinkType::LinuxCooked, ipv4({}), 0x0806), std::nullopt},
        {"EthernetFrameOnCookedLink", LinkType::LinuxCooked, eth({}), std::nullopt},
        {"CookedFrameOnEthernetLink", LinkType::Ethernet, onLink(LinkType::LinuxCooked, ipv4({})), std::nullopt},
        {"UnsupportedLinkType", LinkType::Unsupported, eth({}), std::nullopt},
    };
}

class DecodeFrameTable : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeFrameTable, DecodesAsTheFieldRulesSay) {
    const DecodeCase& c = GetParam();
    EXPECT_EQ(decodeFrame(c.frame, c.link), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Frames, DecodeFrameTable, testing::ValuesIn(decodeCases()),
                         [](const auto& info) { return info.param.name; });

struct Truncation {
    std::string name;
    LinkType link;
    Ipv4Packet packet;
    std::size_t bytesRead;  // the shortest captured length that queues a record
};

void PrintTo(const Truncation& t, std::ostream* out) {
    *out << t.name;
}

class TruncatedFrames : public testing::TestWithParam<Truncation> {};

// Every captured length from 0 to 78 (and up to the bytes read, for the cooked
// header): a record exactly when the frame holds every byte the decoder reads.
// Each prefix lives in a heap block of exactly its length, so the sanitizer
// trees catch any read beyond it.
TEST_P(TruncatedFrames, QueueNothingUntilEveryReadByteIsCaptured) {
    const Truncation& t = GetParam();
    const Bytes full = onLink(t.link, ipv4(t.packet));
    const auto whole = decodeFrame(full, t.link);
    ASSERT_TRUE(whole.has_value());
    const std::size_t longest = std::max<std::size_t>(78, t.bytesRead);
    ASSERT_GE(full.size(), longest);
    for (std::size_t length = 0; length <= longest; ++length) {
        auto block = std::make_unique<std::uint8_t[]>(length);
        std::copy_n(full.begin(), length, block.get());
        const auto decoded = decodeFrame(std::span<const std::uint8_t>(block.get(), length), t.link);
        if (length < t.bytesRead) {
            EXPECT_FALSE(decoded.has_value()) << "captured length " << length;
        } else {
            EXPECT_EQ(decoded, whole) << "captured length " << length;
        }

        PacketQueue queue;
        DecodeContext context{&queue, t.link};
        const pcap_pkthdr header{{}, static_cast<bpf_u_int32>(length), static_cast<bpf_u_int32>(full.size())};
        DecodeFrame(reinterpret_cast<u_char*>(&context), &header, block.get());
        EXPECT_EQ(queue.records().size(), length < t.bytesRead ? 0u : 1u) << "captured length " << length;
    }
}

std::vector<Truncation> truncations() {
    const Ipv4Packet tcp5{.protocol = 6, .payload = 80};
    const Ipv4Packet udp5{.protocol = 17, .payload = 80};
    const Ipv4Packet tcp15{.ihl = 15, .protocol = 6, .payload = 20};
    const Ipv4Packet udp8{.ihl = 8, .protocol = 17, .payload = 60};
    const Ipv4Packet tcp2{.ihl = 2, .protocol = 6, .payload = 80};
    const Ipv4Packet icmp{.protocol = 1, .payload = 80};
    std::vector<Truncation> rows;
    for (const auto& [prefix, link] : {std::pair{"Ethernet", LinkType::Ethernet}, std::pair{"Raw", LinkType::Raw},
                                       std::pair{"Cooked", LinkType::LinuxCooked}}) {
        const std::size_t offset = test::linkHeaderSize(link);
        const std::string name = prefix;
        rows.push_back({name + "TcpIhl5", link, tcp5, offset + 24});
        rows.push_back({name + "UdpIhl5", link, udp5, offset + 24});
        rows.push_back({name + "TcpIhl15", link, tcp15, offset + 64});
        rows.push_back({name + "UdpIhl8", link, udp8, offset + 36});
        rows.push_back({name + "TcpIhl2", link, tcp2, offset + 20});
        rows.push_back({name + "Icmp", link, icmp, offset + 20});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(EveryLength, TruncatedFrames, testing::ValuesIn(truncations()),
                         [](const auto& info) { return info.param.name; });

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
                                         DatalinkCase{"LinuxCookedV2", DLT_LINUX_SLL2, LinkType::Unsupported},
                                         DatalinkCase{"Null", DLT_NULL, LinkType::Unsupported},
                                         DatalinkCase{"Radiotap", DLT_IEEE802_11_RADIO, LinkType::Unsupported}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace sondrel
