#include "config/adapters.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include "tests/config/test_address.h"

namespace sondrel {
namespace {

using test::ipv4;

struct Expected {
    std::u16string description;
    std::string addressText;
};

TEST(BuildAdapterEntries, OneEntryPerInterfaceInIndexOrder) {
    struct Row {
        const char* name;
        std::vector<InterfaceRow> rows;
        std::vector<Expected> entries;
    };
    const Row rows[] = {
        {"typical getifaddrs order",
         {{"lo", 1, {}}, {"eth0", 2, {}}, {"wlan0", 3, {}}, {"lo", 1, ipv4(127, 0, 0, 1)},
          {"eth0", 2, ipv4(192, 168, 1, 10)}, {"lo", 1, {}}, {"eth0", 2, {}}},
         {{u"lo", "127.0.0.1"}, {u"eth0", "192.168.1.10"}, {u"wlan0", "0.0.0.0"}}},
        {"first IPv4 address wins",
         {{"eth0", 2, {}}, {"eth0", 2, ipv4(10, 0, 0, 1)}, {"eth0", 2, ipv4(10, 0, 0, 2)}},
         {{u"eth0", "10.0.0.1"}}},
        {"index order, not row order",
         {{"wg0", 7, ipv4(10, 8, 0, 2)}, {"eth0", 2, ipv4(192, 168, 1, 10)}, {"lo", 1, ipv4(127, 0, 0, 1)}},
         {{u"lo", "127.0.0.1"}, {u"eth0", "192.168.1.10"}, {u"wg0", "10.8.0.2"}}},
        {"unknown index last, first seen first",
         {{"gone1", 0, {}}, {"eth0", 2, {}}, {"gone0", 0, ipv4(1, 2, 3, 4)}},
         {{u"eth0", "0.0.0.0"}, {u"gone1", "0.0.0.0"}, {u"gone0", "1.2.3.4"}}},
        {"address label right after its interface",
         {{"eth0", 2, ipv4(192, 168, 1, 10)}, {"eth1", 3, {}}, {"eth0:1", 2, ipv4(192, 168, 1, 11)}},
         {{u"eth0", "192.168.1.10"}, {u"eth0:1", "192.168.1.11"}, {u"eth1", "0.0.0.0"}}},
        {"non-ASCII name", {{"caf\xC3\xA9", 4, {}}}, {{u"caf\u00E9", "0.0.0.0"}}},
        {"largest address text", {{"x", 1, ipv4(255, 255, 255, 255)}}, {{u"x", "255.255.255.255"}}},
        {"none", {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<AdapterEntry> entries = buildAdapterEntries(row.rows);
        ASSERT_EQ(entries.size(), row.entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(entries[i].description, row.entries[i].description) << "entry " << i;
            EXPECT_EQ(entries[i].addressText, row.entries[i].addressText) << "entry " << i;
        }
    }
}

TEST(InetAddr, ConvertsDottedTextLikeInetAddr) {
    const std::string buffer = "10.1.168.192XYZ";
    struct Row {
        const char* name;
        std::string_view text;
        std::uint32_t expected;
    };
    const Row rows[] = {
        {"address", "192.168.1.10", ipv4(192, 168, 1, 10)},
        {"no address", "0.0.0.0", 0},
        {"text inside a larger buffer", std::string_view(buffer).substr(0, 12), ipv4(10, 1, 168, 192)},
        {"not an address", "eth0", INADDR_NONE},
        {"empty", "", INADDR_NONE},
        {"part too large", "256.1.1.1", INADDR_NONE},
        {"ends at an embedded NUL", std::string_view("1.2.3.4\0junk", 12), ipv4(1, 2, 3, 4)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(inetAddr(row.text), row.expected);
    }
}

}  // namespace
}  // namespace sondrel
