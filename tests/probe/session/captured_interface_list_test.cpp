#include <net/if.h>

#include <gtest/gtest.h>

#include "probe/captured_interface_list.h"

namespace sondrel::probe {
namespace {

constexpr std::uint32_t ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return std::uint32_t(a) | std::uint32_t(b) << 8 | std::uint32_t(c) << 16 | std::uint32_t(d) << 24;
}

const Ipv6Address kLink6{0xfe, 0x80, 15, 1};
const Ipv6Address kLoopback6{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

InterfaceListRow link(const char* name, std::uint32_t index, bool up) {
    InterfaceListRow row{name, up ? unsigned(IFF_UP) : 0u, AF_PACKET};
    row.index = index;
    return row;
}
InterfaceListRow v4(const char* name, std::uint32_t address) {
    InterfaceListRow row{name, IFF_UP, AF_INET};
    row.ipv4 = address;
    return row;
}
InterfaceListRow v6(const char* name, const Ipv6Address& address) {
    InterfaceListRow row{name, IFF_UP, AF_INET6};
    row.ipv6 = address;
    return row;
}

// One address counts as it always did: the configured address and the
// interface's IPv6 ones, not its other IPv4 addresses. A list or all counts
// every address of every interface it covers, labels ("eth0:1") included.
TEST(CapturedInterfaces, CoverWhatTheSetNamesWithTheirLocalAddresses) {
    const std::vector<InterfaceListRow> rows = {
        link("lo", 1, true),          link("eth0", 2, true), link("wg0", 5, false),
        v4("lo", ip(127, 0, 0, 1)),   v4("eth0", ip(10, 0, 0, 2)), v4("eth0:1", ip(10, 0, 0, 3)),
        v6("lo", kLoopback6),         v6("eth0", kLink6),
    };
    const CapturedInterface lo{1, "lo", {ip(127, 0, 0, 1)}, {kLoopback6}};
    const CapturedInterface eth0{2, "eth0", {ip(10, 0, 0, 2), ip(10, 0, 0, 3)}, {kLink6}};
    const CapturedInterface wg0{5, "wg0", {}, {}};
    const struct {
        const char* name;
        CaptureSet set;
        std::string device;
        CapturedInterfaces expected;
    } cases[] = {
        {"one address", CaptureSet::ofAddress(ip(10, 0, 0, 3)), "eth0", {{2, "eth0", {ip(10, 0, 0, 3)}, {kLink6}}}},
        {"nothing open yet", CaptureSet::all(), "", {}},
        {"all: the interfaces up", CaptureSet::all(), "any", {lo, eth0}},
        {"a list: those present, up or not", {CaptureSet::Kind::Names, 0, {"wg0", "tun9", "eth0"}}, "any", {eth0, wg0}},
    };
    for (const auto& c : cases) EXPECT_EQ(capturedInterfaces(rows, c.set, c.device), c.expected) << c.name;
}

}  // namespace
}  // namespace sondrel::probe
