#include "base/protocol_names.h"

#include <gtest/gtest.h>

#include <string>

namespace sondrel {
namespace {

struct NameRow {
    const char* name;
    std::uint16_t protocol;
    std::u16string expected;
};

TEST(GetProtocolName, NamesEdgeCasesOfTheTable) {
    const NameRow rows[] = {
        {"first entry", 1, u"ICMP protocol"},
        {"gre", 47, u"GRE protocol"},
        {"last entry", 137, u"MPLS-in-IP protocol"},
        {"ip in ip keeps its trailing blank", 4, u"IP in IP protocol "},
        {"ipip differs from ip in ip", 94, u"IPIP protocol"},
        {"entry after tcp gap", 7, u"UCL protocol"},
        {"entry after udp gap", 18, u"MUX protocol"},
        {"entry between gaps", 62, u"CFTP protocol"},
        {"entry after 68 gap", 69, u"SAT-MON protocol"},
        {"entry after 99 gap", 100, u"GMTP protocol"},
        {"entry after 114 gap", 115, u"L2TP protocol"},
        {"slash in name", 107, u"A/N protocol"},
        {"no protocol word 10", 10, u"BBN RCC Monitoring"},
        {"no protocol word 124", 124, u"ISIS over IPv4"},
        {"no protocol word 133", 133, u"SFibre Channel"},
        {"no protocol word 134", 134, u"RSVP-E2E-IGNORE"},
        {"no protocol word 135", 135, u"Mobility Header"},
        {"zero", 0, u"IP protocol #0"},
        {"tcp asked directly", 6, u"IP protocol #6"},
        {"udp asked directly", 17, u"IP protocol #17"},
        {"gap start", 55, u"IP protocol #55"},
        {"gap end", 61, u"IP protocol #61"},
        {"single gap 63", 63, u"IP protocol #63"},
        {"single gap 68", 68, u"IP protocol #68"},
        {"single gap 99", 99, u"IP protocol #99"},
        {"single gap 114", 114, u"IP protocol #114"},
        {"first past the table", 138, u"IP protocol #138"},
        {"largest 8-bit value", 255, u"IP protocol #255"},
        {"beyond 8 bits", 256, u"IP protocol #256"},
        {"largest 16-bit value", 65535, u"IP protocol #65535"},
    };
    for (const NameRow& row : rows) {
        EXPECT_EQ(GetProtocolName(row.protocol), row.expected) << row.name;
    }
}

// The Applications list tells protocol pseudo-applications by the word
// "protocol": exactly the named entries outside this set carry it.
TEST(GetProtocolName, TableHas124EntriesAndFiveWithoutTheWordProtocol) {
    int named = 0;
    std::u16string withoutWord;
    for (std::uint16_t protocol = 1; protocol <= 137; ++protocol) {
        const std::u16string name = GetProtocolName(protocol);
        if (name.starts_with(u"IP protocol #")) continue;
        ++named;
        if (name.find(u"protocol") == std::u16string::npos) withoutWord += u"[" + name + u"]";
    }
    EXPECT_EQ(named, 124);
    EXPECT_EQ(withoutWord, u"[BBN RCC Monitoring][ISIS over IPv4][SFibre Channel][RSVP-E2E-IGNORE][Mobility Header]");
}

}  // namespace
}  // namespace sondrel
