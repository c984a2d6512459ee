#include "base/ip_address_text.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/text.h"

namespace sondrel {
namespace {

// Test input written in any form inet_pton accepts.
Ipv6Address address(const char* text) {
    Ipv6Address bytes{};
    EXPECT_EQ(inet_pton(AF_INET6, text, bytes.data()), 1) << text;
    return bytes;
}

TEST(FormatIPv6, CanonicalTextOfRfc5952) {
    const struct {
        const char* name;
        const char* in;
        const char16_t* out;
    } rows[] = {
        {"4.1 leading zeros dropped", "2001:0db8::0001", u"2001:db8::1"},
        {"4.1 zeros inside groups kept", "2001:db8:00a0:0100::0010", u"2001:db8:a0:100::10"},
        {"4.2.1 longest run compressed", "2001:db8:0:0:0:0:2:1", u"2001:db8::2:1"},
        {"4.2.2 single zero group kept", "2001:db8:0:1:1:1:1:1", u"2001:db8:0:1:1:1:1:1"},
        {"4.2.3 longer later run wins", "2001:0:0:1:0:0:0:1", u"2001:0:0:1::1"},
        {"4.2.3 first of equal runs", "2001:db8:0:0:1:0:0:1", u"2001:db8::1:0:0:1"},
        {"4.3 lowercase", "2001:DB8:AAAA:BBBB:CCCC:DDDD:EEEE:AAAA", u"2001:db8:aaaa:bbbb:cccc:dddd:eeee:aaaa"},
        {"2.2 zero groups spelt out", "2001:db8:0:0:0:0:0:1", u"2001:db8::1"},
        {"5 IPv4-mapped", "::ffff:c000:201", u"::ffff:192.0.2.1"},
        {"IPv4-mapped zero", "::ffff:0:0", u"::ffff:0.0.0.0"},
        {"IPv4-mapped broadcast", "::ffff:ffff:ffff", u"::ffff:255.255.255.255"},
        {"not mapped: fffe", "::fffe:c000:201", u"::fffe:c000:201"},
        {"not mapped: group 4 set", "::1:ffff:c000:201", u"::1:ffff:c000:201"},
        {"IPv4-compatible stays hex", "::c000:201", u"::c000:201"},
        {"NAT64 stays hex", "64:ff9b::c000:221", u"64:ff9b::c000:221"},
        {"unspecified", "::", u"::"},
        {"loopback", "::1", u"::1"},
        {"trailing run", "1::", u"1::"},
        {"link-local", "fe80::1ff:fe23:4567:890a", u"fe80::1ff:fe23:4567:890a"},
        {"leading single zero kept", "0:1:2:3:4:5:6:7", u"0:1:2:3:4:5:6:7"},
        {"trailing single zero kept", "1:2:3:4:5:6:7:0", u"1:2:3:4:5:6:7:0"},
        {"run of two at the end", "1:2:3:4:5:6::", u"1:2:3:4:5:6::"},
        {"longest possible", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", u"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(u16ToUtf8(FormatIPv6(address(row.in))), u16ToUtf8(row.out)) << row.name;
    }
}

// glibc's inet_ntop follows the same rules wherever it does not write an
// embedded IPv4 address, which it does only when the first five groups are zero.
TEST(FormatIPv6, AgreesWithInetNtopOnRandomAddresses) {
    std::mt19937 random(5952);
    const unsigned groupValues[] = {0, 0, 0, 1, 0x10, 0xabc, 0xffff, 0x2001};
    std::u16string text;
    for (int round = 0; round < 20000; ++round) {
        Ipv6Address bytes{};
        bool firstFiveZero = true;
        for (std::size_t group = 0; group < 8; ++group) {
            const unsigned value = groupValues[random() % std::size(groupValues)];
            bytes[2 * group] = static_cast<std::uint8_t>(value >> 8);
            bytes[2 * group + 1] = static_cast<std::uint8_t>(value);
            firstFiveZero = firstFiveZero && (group >= 5 || value == 0);
        }
        if (firstFiveZero) {
            continue;
        }
        char expected[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET6, bytes.data(), expected, sizeof expected), nullptr);
        FormatIPv6(bytes, text);
        ASSERT_EQ(u16ToUtf8(text), expected);
    }
}

TEST(FormatIPv6, WritingIntoAUsedStringKeepsItsStorage) {
    std::u16string out;
    FormatIPv6(address("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), out);
    const char16_t* storage = out.data();
    for (const char* text : {"::1", "2001:db8::1:0:0:1", "::ffff:192.0.2.1", "fe80::1ff:fe23:4567:890a"}) {
        FormatIPv6(address(text), out);
        EXPECT_EQ(out.data(), storage) << text;
    }
    EXPECT_EQ(out, u"fe80::1ff:fe23:4567:890a");
}

}  // namespace
}  // namespace sondrel
