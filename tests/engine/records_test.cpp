#include <gtest/gtest.h>

#include "engine/records.h"
#include "tests/support/engine_fakes.h"

namespace sondrel {
namespace {

TEST(FormatIPv4, DottedDecimalInPacketByteOrder) {
    const struct {
        const char* dotted;
        std::u16string text;
    } rows[] = {
        {"0.0.0.0", u"0.0.0.0"},
        {"255.255.255.255", u"255.255.255.255"},
        {"10.1.168.192", u"10.1.168.192"},
        {"192.0.2.7", u"192.0.2.7"},
        {"1.20.100.9", u"1.20.100.9"},
    };
    for (const auto& row : rows) EXPECT_EQ(FormatIPv4(testing::ip(row.dotted)), row.text) << row.dotted;
}

TEST(AppTable, SetHostNameWritesEveryRowOfThatAddressInEveryApplication) {
    AppTable t;
    const auto a = t.appendApp(u"/a");
    const auto b = t.appendApp(u"/b");
    const std::uint32_t shared = testing::ip("192.0.2.1");
    t.appendEndpoint(a, EndpointRecord{1, 2, 0, 0, u"192.0.2.1", {}, shared, u"TCP:", {}, false});
    t.appendEndpoint(a, EndpointRecord{3, 2, 0, 0, u"192.0.2.2", {}, testing::ip("192.0.2.2"), u"TCP:", {}, false});
    t.appendEndpoint(b, EndpointRecord{4, 2, 0, 0, u"192.0.2.1", {}, shared, u"UDP:", {}, false});
    t.setHostName(shared, u"one.example");
    EXPECT_EQ(t.app(a).endpoints[0].remoteHostName, u"one.example");
    EXPECT_EQ(t.app(a).endpoints[1].remoteHostName, u"");
    EXPECT_EQ(t.app(b).endpoints[0].remoteHostName, u"one.example");
    t.setHostName(testing::ip("192.0.2.99"), u"nobody");
    t.clear();
    t.setHostName(shared, u"after reset");
    EXPECT_TRUE(t.empty());
}

}  // namespace
}  // namespace sondrel
