#include "tests/e2e/pcap_totals.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sondrel::e2e {
namespace {

constexpr const char* kLocal = "10.231.7.1";
constexpr const char* kRemote = "10.231.7.2";
constexpr const char* kStranger = "10.231.7.9";
constexpr const char* kLocal6 = "fd00:e2e:7::1";
constexpr const char* kRemote6 = "fd00:e2e:7::2";
constexpr const char* kStranger6 = "fd00:e2e:7::9";

std::uint32_t address(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

Ipv6Address address6(const char* text) {
    Ipv6Address a{};
    inet_pton(AF_INET6, text, a.data());
    return a;
}

const std::vector<Ipv6Address> kLocalIpv6 = {address6("fd00:e2e:7::5"), address6(kLocal6)};

void put16(std::string& out, std::uint16_t value) {
    out.push_back(char(value >> 8));
    out.push_back(char(value & 0xff));
}

void put32le(std::string& out, std::uint32_t value, bool bigEndian) {
    for (int i = 0; i < 4; ++i) {
        const int shift = bigEndian ? 24 - 8 * i : 8 * i;
        out.push_back(char((value >> shift) & 0xff));
    }
}

// An IPv4 packet of `totalLength` bytes (header of `ihl` words) with ports
// where the protocol has them; the frame itself is only as long as asked.
std::string ipv4(const char* source, const char* destination, std::uint8_t protocol, std::uint16_t totalLength,
                 std::uint16_t sourcePort = 0, std::uint16_t destinationPort = 0, std::uint8_t ihl = 5,
                 std::uint16_t fragment = 0) {
    std::string packet;
    packet.push_back(char(0x40 | ihl));
    packet.push_back(0);
    put16(packet, totalLength);
    put16(packet, 0);
    put16(packet, fragment);
    packet.push_back(64);
    packet.push_back(char(protocol));
    put16(packet, 0);
    const std::uint32_t s = address(source);
    const std::uint32_t d = address(destination);
    packet.append(reinterpret_cast<const char*>(&s), 4);
    packet.append(reinterpret_cast<const char*>(&d), 4);
    packet.append(std::size_t(ihl - 5) * 4, '\0');
    put16(packet, sourcePort);
    put16(packet, destinationPort);
    packet.append(8, 'x');
    return packet;
}

struct Extension {
    std::uint8_t type;           // 0 hop-by-hop, 43 routing, 44 fragment, 60 destination options
    std::uint16_t fragment = 0;  // the fragment header's offset and flags field
};

// An IPv6 packet whose Payload Length says `payloadLength`, through the
// extension headers given (eight bytes each) to `nextHeader` and its ports;
// the frame itself is only as long as asked.
std::string ipv6(const char* source, const char* destination, std::uint8_t nextHeader, std::uint16_t payloadLength,
                 std::uint16_t sourcePort = 0, std::uint16_t destinationPort = 0,
                 const std::vector<Extension>& extensions = {}) {
    std::string packet("\x60\0\0\0", 4);
    put16(packet, payloadLength);
    packet.push_back(char(extensions.empty() ? nextHeader : extensions.front().type));
    packet.push_back(64);
    const Ipv6Address s = address6(source);
    const Ipv6Address d = address6(destination);
    packet.append(reinterpret_cast<const char*>(s.data()), 16);
    packet.append(reinterpret_cast<const char*>(d.data()), 16);
    for (std::size_t i = 0; i < extensions.size(); ++i) {
        packet.push_back(char(i + 1 < extensions.size() ? extensions[i + 1].type : nextHeader));
        packet.push_back(0);
        put16(packet, extensions[i].fragment);
        packet.append(4, '\0');
    }
    put16(packet, sourcePort);
    put16(packet, destinationPort);
    packet.append(8, 'x');
    return packet;
}

std::string ethernet(const std::string& payload, std::uint16_t etherType = 0x0800) {
    std::string frame(12, '\x02');
    put16(frame, etherType);
    return frame + payload;
}

std::string cooked(const std::string& payload, std::uint16_t protocol = 0x0800) {
    std::string frame(14, '\0');
    put16(frame, protocol);
    return frame + payload;
}

std::string pcapFile(std::uint32_t linkType, const std::vector<std::string>& frames, bool bigEndian = false,
                     std::uint32_t magic = 0xa1b2c3d4) {
    std::string file;
    put32le(file, magic, bigEndian);
    file += bigEndian ? std::string("\x00\x02\x00\x04", 4) : std::string("\x02\x00\x04\x00", 4);
    put32le(file, 0, bigEndian);
    put32le(file, 0, bigEndian);
    put32le(file, 262144, bigEndian);
    put32le(file, linkType, bigEndian);
    for (const std::string& frame : frames) {
        put32le(file, 1, bigEndian);
        put32le(file, 2, bigEndian);
        put32le(file, std::uint32_t(frame.size()), bigEndian);
        put32le(file, std::uint32_t(frame.size()), bigEndian);
        file += frame;
    }
    return file;
}

struct FlowCase {
    const char* name;
    std::string file;
    std::uint16_t port;
    std::uint16_t protocol;
    bool sent;
    std::uint64_t bytes;
    std::uint64_t packets;
    std::uint8_t family = 4;
};

TEST(PcapTotals, SumsTotalLengthsPerLocalPortProtocolAndDirection) {
    const std::vector<std::string> mixed = {
        ethernet(ipv4(kLocal, kRemote, 17, 128, 5000, 40001)),
        ethernet(ipv4(kLocal, kRemote, 17, 29, 5000, 40001)),
        ethernet(ipv4(kRemote, kLocal, 17, 60, 40001, 5000)),
        ethernet(ipv4(kLocal, kRemote, 6, 1500, 6000, 80)),
        ethernet(ipv4(kRemote, kLocal, 6, 52, 80, 6000)),
        ethernet(ipv4(kLocal, kRemote, 1, 84, 0x0800)),  // an echo request; the payload makes its identifier 0x7878
        ethernet(ipv4(kRemote, kLocal, 1, 84)),          // its reply
        ethernet(ipv4(kRemote, kLocal, 1, 56, 0x0303)),  // an unreachable: the kernel's
        ethernet(ipv4(kLocal, kRemote, 6, 44, 7000, 80, 6)),
        ethernet(ipv4(kStranger, kRemote, 17, 999, 5000, 40001)),
        ethernet(ipv4(kLocal, kRemote, 17, 999, 5000, 40001), 0x86dd),
        ethernet(ipv4(kLocal, kRemote, 17, 700, 1, 2, 5, 0x00b9)),
        ethernet(ipv4(kRemote, kLocal, 132, 248, 9000, 8000)),
    };
    const std::string file = pcapFile(1, mixed);
    const std::vector<FlowCase> cases = {
        {"udp sent, two datagrams", file, 5000, 17, true, 157, 2},
        {"udp received", file, 5000, 17, false, 60, 1},
        {"tcp sent", file, 6000, 6, true, 1500, 1},
        {"tcp received", file, 6000, 6, false, 52, 1},
        {"echo request sent: its identifier", file, 0x7878, 1, true, 84, 1},
        {"echo reply received: its identifier", file, 0x7878, 1, false, 84, 1},
        {"other icmp, no port", file, 0, 1, false, 56, 1},
        {"ports after a 24-byte header", file, 7000, 6, true, 44, 1},
        {"sctp received, by port", file, 8000, 132, false, 248, 1},
        {"non-first fragment has no ports", file, 0, 17, true, 700, 1},
        {"foreign packet and IPv6 frame count nowhere", file, 40001, 17, false, 0, 0},
        {"big-endian file", pcapFile(1, {mixed[0]}, true), 5000, 17, true, 128, 1},
        {"nanosecond magic", pcapFile(1, {mixed[0]}, false, 0xa1b23c4d), 5000, 17, true, 128, 1},
        {"raw IPv4 link", pcapFile(101, {ipv4(kLocal, kRemote, 17, 128, 5000, 40001)}), 5000, 17, true, 128, 1},
        {"Linux cooked link", pcapFile(113, {cooked(ipv4(kLocal, kRemote, 17, 128, 5000, 40001))}), 5000, 17, true, 128, 1},
        {"record cut short at the end is left out", pcapFile(1, mixed).substr(0, pcapFile(1, {mixed[0]}).size() + 20),
         5000, 17, true, 128, 1},
    };
    for (const FlowCase& row : cases) {
        SCOPED_TRACE(row.name);
        const PcapTotals totals = sumPcapFile(row.file, address(kLocal), kLocalIpv6);
        ASSERT_TRUE(totals.readable) << totals.problem;
        const FlowTally tally = totals.flow(row.port, row.protocol, row.sent, row.family);
        EXPECT_EQ(tally.bytes, row.bytes);
        EXPECT_EQ(tally.packets, row.packets);
    }
}

TEST(PcapTotals, SumsIpv6PacketsBy40PlusPayloadLengthPerFamily) {
    const std::vector<std::string> mixed = {
        ethernet(ipv6(kLocal6, kRemote6, 17, 108, 5000, 40001), 0x86dd),
        ethernet(ipv6(kRemote6, kLocal6, 17, 108, 40001, 5000), 0x86dd),
        ethernet(ipv4(kLocal, kRemote, 17, 128, 5000, 40001)),
        ethernet(ipv6(kRemote6, kLocal6, 6, 1440, 80, 6000), 0x86dd),
        ethernet(ipv6(kLocal6, kRemote6, 58, 64), 0x86dd),
        ethernet(ipv6("fd00:e2e:7::5", "ff02::16", 58, 36, 0, 0, {{0}}), 0x86dd),
        ethernet(ipv6(kLocal6, kRemote6, 17, 1232, 7000, 53, {{0}, {60}, {44, 0x0001}}), 0x86dd),
        ethernet(ipv6(kLocal6, kRemote6, 17, 500, 1, 2, {{44, 0x05a8}}), 0x86dd),
        ethernet(ipv6(kStranger6, kRemote6, 17, 999, 40001, 5000), 0x86dd),
        ethernet(ipv6(kLocal6, kRemote6, 17, 999, 5000, 40001), 0x0800),
    };
    const std::string file = pcapFile(1, mixed);
    const std::vector<FlowCase> cases = {
        {"udp sent", file, 5000, 17, true, 148, 1, 6},
        {"udp received", file, 5000, 17, false, 148, 1, 6},
        {"IPv4 of the same port apart", file, 5000, 17, true, 128, 1, 4},
        {"tcp received", file, 6000, 6, false, 1480, 1, 6},
        {"ICMPv6 sent, no port", file, 0, 58, true, 104 + 76, 2, 6},
        {"ports after three extension headers", file, 7000, 17, true, 1272, 1, 6},
        {"non-first fragment has no ports", file, 0, 17, true, 540, 1, 6},
        {"foreign packet and IPv6 in an IPv4 frame count nowhere", file, 40001, 17, false, 0, 0, 6},
        {"raw IP link", pcapFile(101, {ipv6(kLocal6, kRemote6, 17, 108, 5000, 40001)}), 5000, 17, true, 148, 1, 6},
        {"Linux cooked link", pcapFile(113, {cooked(ipv6(kLocal6, kRemote6, 17, 108, 5000, 40001), 0x86dd)}), 5000, 17,
         true, 148, 1, 6},
    };
    for (const FlowCase& row : cases) {
        SCOPED_TRACE(row.name);
        const PcapTotals totals = sumPcapFile(row.file, address(kLocal), kLocalIpv6);
        ASSERT_TRUE(totals.readable) << totals.problem;
        const FlowTally tally = totals.flow(row.port, row.protocol, row.sent, row.family);
        EXPECT_EQ(tally.bytes, row.bytes);
        EXPECT_EQ(tally.packets, row.packets);
    }
    EXPECT_EQ(sumPcapFile(file, address(kLocal), kLocalIpv6).foreignPackets, 1u);
}

TEST(PcapTotals, CountsAPacketBetweenTwoLocalAddressesAtBothEnds) {
    const std::string file = pcapFile(1, {ethernet(ipv4(kLocal, kLocal, 6, 1000, 6000, 80)),
                                          ethernet(ipv6(kLocal6, "fd00:e2e:7::5", 17, 108, 5000, 40001), 0x86dd)});
    const std::vector<FlowCase> cases = {
        {"IPv4 sent at the source port", file, 6000, 6, true, 1000, 1},
        {"IPv4 received at the destination port", file, 80, 6, false, 1000, 1},
        {"IPv4 not received at the source port", file, 6000, 6, false, 0, 0},
        {"IPv4 not sent from the destination port", file, 80, 6, true, 0, 0},
        {"IPv6 sent at the source port", file, 5000, 17, true, 148, 1, 6},
        {"IPv6 received at the destination port", file, 40001, 17, false, 148, 1, 6},
    };
    const PcapTotals totals = sumPcapFile(file, address(kLocal), kLocalIpv6);
    ASSERT_TRUE(totals.readable) << totals.problem;
    for (const FlowCase& row : cases) {
        SCOPED_TRACE(row.name);
        const FlowTally tally = totals.flow(row.port, row.protocol, row.sent, row.family);
        EXPECT_EQ(tally.bytes, row.bytes);
        EXPECT_EQ(tally.packets, row.packets);
    }
    EXPECT_EQ(totals.foreignPackets, 0u);
}

TEST(PcapTotals, CountsRecordsForeignPacketsAndACutTail) {
    const std::string one = ethernet(ipv4(kLocal, kRemote, 17, 128, 5000, 40001));
    const std::string foreign = ethernet(ipv4(kStranger, kRemote, 17, 128, 5000, 40001));
    const std::string whole = pcapFile(1, {one, foreign});
    const PcapTotals complete = sumPcapFile(whole, address(kLocal));
    EXPECT_EQ(complete.records, 2u);
    EXPECT_EQ(complete.foreignPackets, 1u);
    EXPECT_FALSE(complete.truncatedTail);
    const PcapTotals cut = sumPcapFile(whole.substr(0, whole.size() - 1), address(kLocal));
    EXPECT_EQ(cut.records, 1u);
    EXPECT_TRUE(cut.truncatedTail);
}

TEST(PcapTotals, RefusesWhatItCannotRead) {
    struct Case {
        const char* name;
        std::string file;
    };
    const std::vector<Case> cases = {
        {"empty", ""},
        {"header cut short", pcapFile(1, {}).substr(0, 23)},
        {"pcapng", std::string("\x0a\x0d\x0d\x0a", 4) + std::string(40, '\0')},
        {"unknown link type (802.11)", pcapFile(105, {})},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        const PcapTotals totals = sumPcapFile(row.file, address(kLocal));
        EXPECT_FALSE(totals.readable);
        EXPECT_FALSE(totals.problem.empty());
        EXPECT_TRUE(totals.flows.empty());
    }
}

TEST(PcapTotals, ShortFramesAreSkippedWithoutReadingPastThem) {
    const std::string full = ethernet(ipv4(kLocal, kRemote, 17, 128, 5000, 40001));
    std::vector<std::string> frames;
    for (std::size_t length = 0; length < full.size(); ++length) frames.push_back(full.substr(0, length));
    const PcapTotals totals = sumPcapFile(pcapFile(1, frames), address(kLocal));
    ASSERT_TRUE(totals.readable);
    EXPECT_EQ(totals.records, frames.size());
    // A frame with a whole IPv4 header but cut ports still counts, without ports.
    EXPECT_EQ(totals.flow(5000, 17, true).packets, frames.size() - 38);
    EXPECT_EQ(totals.flow(0, 17, true).packets, 4u);
}

TEST(PcapTotals, ShortIpv6FramesAreSkippedWithoutReadingPastThem) {
    const std::string full = ethernet(ipv6(kLocal6, kRemote6, 17, 20, 5000, 40001, {{0}, {44}}), 0x86dd);
    std::vector<std::string> frames;
    for (std::size_t length = 0; length < full.size(); ++length) frames.push_back(full.substr(0, length));
    const PcapTotals totals = sumPcapFile(pcapFile(1, frames), address(kLocal), kLocalIpv6);
    ASSERT_TRUE(totals.readable);
    EXPECT_EQ(totals.records, frames.size());
    // Counted once the header chain is whole (14 + 40 + 16 bytes); with ports from 4 bytes more.
    EXPECT_EQ(totals.flow(5000, 17, true, 6).packets, frames.size() - 74);
    EXPECT_EQ(totals.flow(0, 17, true, 6).packets, 4u);
}

}  // namespace
}  // namespace sondrel::e2e
