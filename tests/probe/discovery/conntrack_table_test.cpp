#include "probe/discovery/conntrack_table.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sondrel {
namespace {

Ipv6Address address(const char* text) {
    Ipv6Address bytes{};
    if (inet_pton(AF_INET, text, bytes.data()) != 1) inet_pton(AF_INET6, text, bytes.data());
    return bytes;
}

ConntrackEntry entry(std::uint8_t family, std::uint8_t protocol, const char* origSrc, std::uint16_t origSrcPort,
                     const char* origDst, std::uint16_t origDstPort, const char* replySrc, std::uint16_t replySrcPort,
                     const char* replyDst, std::uint16_t replyDstPort) {
    return {family, protocol, origSrcPort, origDstPort, replySrcPort, replyDstPort,
            address(origSrc), address(origDst), address(replySrc), address(replyDst)};
}

const std::string kTcpLine =
    "ipv4     2 tcp      6 431999 ESTABLISHED src=10.236.1.2 dst=10.235.1.2 sport=40000 dport=8080 "
    "src=10.235.1.2 dst=10.235.1.1 sport=8080 dport=40000 [ASSURED] mark=0 zone=0 use=2\n";
const ConntrackEntry kTcpEntry =
    entry(kFamilyIpv4, 6, "10.236.1.2", 40000, "10.235.1.2", 8080, "10.235.1.2", 8080, "10.235.1.1", 40000);

TEST(ParseConntrackTable, KeepsTranslatableEntriesAndSkipsOddLines) {
    const struct {
        const char* name;
        std::string text;
        std::vector<ConntrackEntry> expected;
    } rows[] = {
        {"tcp with state and flags", kTcpLine, {kTcpEntry}},
        {"udp over ipv6, full-form addresses, unreplied, counters",
         "ipv6     10 udp      17 29 src=fd00:0000:0000:0000:0000:0000:0000:0002 dst=2001:0db8::1 sport=5353 "
         "dport=53 packets=1 bytes=76 [UNREPLIED] src=2001:db8::1 dst=fd00::1 sport=53 dport=61000 packets=0 "
         "bytes=0 mark=0 use=1",
         {entry(kFamilyIpv6, 17, "fd00::2", 5353, "2001:db8::1", 53, "2001:db8::1", 53, "fd00::1", 61000)}},
        {"sctp, offloaded without a time left",
         "ipv4 2 sctp 132 ESTABLISHED src=1.2.3.4 dst=5.6.7.8 sport=0 dport=65535 src=5.6.7.8 dst=1.2.3.4 "
         "sport=65535 dport=0 [OFFLOAD] use=1\n",
         {entry(kFamilyIpv4, 132, "1.2.3.4", 0, "5.6.7.8", 65535, "5.6.7.8", 65535, "1.2.3.4", 0)}},
        {"icmp has no ports", "ipv4 2 icmp 1 29 src=1.2.3.4 dst=5.6.7.8 type=8 code=0 id=7 src=5.6.7.8 "
                              "dst=1.2.3.4 type=0 code=0 id=7 mark=0 use=1\n" + kTcpLine,
         {kTcpEntry}},
        {"blank lines and no final newline", "\n\n" + kTcpLine.substr(0, kTcpLine.size() - 1), {kTcpEntry}},
        {"family number not the name's", "ipv4 10 tcp 6 1 src=1.2.3.4 dst=5.6.7.8 sport=1 dport=2 src=5.6.7.8 "
                                         "dst=1.2.3.4 sport=2 dport=1\n", {}},
        {"protocol number not the name's", "ipv4 2 tcp 17 1 src=1.2.3.4 dst=5.6.7.8 sport=1 dport=2 src=5.6.7.8 "
                                           "dst=1.2.3.4 sport=2 dport=1\n", {}},
        {"ipv6 address on an ipv4 line", "ipv4 2 tcp 6 1 src=::1 dst=5.6.7.8 sport=1 dport=2 src=5.6.7.8 "
                                         "dst=1.2.3.4 sport=2 dport=1\n", {}},
        {"one tuple only", "ipv4 2 tcp 6 1 SYN_SENT src=1.2.3.4 dst=5.6.7.8 sport=1 dport=2\n", {}},
        {"three tuples", "ipv4 2 udp 17 1 src=1.2.3.4 dst=5.6.7.8 sport=1 dport=2 src=5.6.7.8 dst=1.2.3.4 "
                         "sport=2 dport=1 src=1.1.1.1 dst=2.2.2.2 sport=3 dport=4\n", {}},
        {"port beyond 16 bits", "ipv4 2 udp 17 1 src=1.2.3.4 dst=5.6.7.8 sport=65536 dport=2 src=5.6.7.8 "
                                "dst=1.2.3.4 sport=2 dport=65536\n", {}},
        {"overlong address", "ipv6 10 udp 17 1 src=" + std::string(60, '0') + " dst=::1 sport=1 dport=2 "
                             "src=::1 dst=::1 sport=2 dport=1\n", {}},
        {"cut in a tuple", kTcpLine.substr(0, kTcpLine.find("sport=8080")), {}},
    };
    std::vector<ConntrackEntry> entries{kTcpEntry};
    for (const auto& row : rows) {
        parseConntrackTable(row.text, entries);
        EXPECT_EQ(entries, row.expected) << row.name;
    }

    std::string huge;
    for (std::size_t i = 0; i <= kMaxConntrackEntries; ++i) huge += kTcpLine;
    parseConntrackTable(huge, entries);
    EXPECT_EQ(entries.size(), kMaxConntrackEntries);
}

}  // namespace
}  // namespace sondrel
