#include "config/default_address.h"

#include <gtest/gtest.h>

#include "tests/config/test_address.h"

namespace sondrel {
namespace {

using test::ipv4;

const std::string kHeader = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

TEST(DefaultRouteInterface, FindsTheUpDefaultRouteWithTheLowestMetric) {
    struct Row {
        const char* name;
        std::string table;
        std::optional<std::string> iface;
    };
    const Row rows[] = {
        {"typical",
         kHeader + "eth0\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                   "eth0\t0002A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n",
         "eth0"},
        {"default route not first",
         kHeader + "docker0\t000011AC\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n"
                   "wlp2s0\t00000000\t0100A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n",
         "wlp2s0"},
        {"lower metric wins",
         kHeader + "wlan0\t00000000\t0100A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                   "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
         "eth0"},
        {"earlier line wins a tie",
         kHeader + "wlan0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                   "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
         "wlan0"},
        {"route that is not up",
         kHeader + "eth0\t00000000\t0102A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n", std::nullopt},
        {"zero destination with a mask is not default",
         kHeader + "eth0\t00000000\t0102A8C0\t0003\t0\t0\t100\t000000FF\t0\t0\t0\n", std::nullopt},
        {"no default route", kHeader + "eth0\t0002A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n", std::nullopt},
        {"header only", kHeader, std::nullopt},
        {"empty", "", std::nullopt},
        {"short and garbled lines skipped",
         kHeader + "eth0\t00000000\n"
                   "bad\tzzzzzzzz\t0\t0003\t0\t0\t1\t00000000\n"
                   "tun0\t00000000\t00000000\t0001\t0\t0\t-5\t00000000\n"
                   "wg0\t00000000\t00000000\t0001\t0\t0\t50\t00000000\t0\t0\t0",
         "wg0"},
        {"spaces instead of tabs, CR LF",
         kHeader + "eth1 00000000 0102A8C0 0003 0 0 100 00000000 0 0 0\r\n", "eth1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(defaultRouteInterface(row.table), row.iface);
    }
}

TEST(ChooseDefaultAddress, SkipsLoopbackAnswers) {
    const std::uint32_t lan = ipv4(192, 168, 2, 5);
    const std::uint32_t wifi = ipv4(10, 0, 0, 9);
    const std::vector<InterfaceAddress> interfaces = {
        {"lo", ipv4(127, 0, 0, 1), true},
        {"eth0", lan, true},
        {"wlan0", wifi, true},
    };
    struct Row {
        const char* name;
        std::vector<std::uint32_t> lookup;
        std::optional<std::string> routeIface;
        std::vector<InterfaceAddress> interfaces;
        std::uint32_t expected;
    };
    const Row rows[] = {
        {"lookup gives a real address", {ipv4(172, 16, 0, 3)}, "wlan0", interfaces, ipv4(172, 16, 0, 3)},
        {"lookup gives loopback first", {ipv4(127, 0, 1, 1), ipv4(172, 16, 0, 3)}, "wlan0", interfaces, ipv4(172, 16, 0, 3)},
        {"lookup only loopback, default route", {ipv4(127, 0, 1, 1)}, "wlan0", interfaces, wifi},
        {"lookup empty, default route", {}, "wlan0", interfaces, wifi},
        {"default route interface's first address",
         {},
         "eth0",
         {{"eth0", ipv4(192, 168, 2, 5), true}, {"eth0", ipv4(192, 168, 2, 6), true}},
         lan},
        {"default route interface without IPv4", {ipv4(127, 0, 0, 1)}, "ppp0", interfaces, lan},
        {"no default route", {ipv4(127, 0, 1, 1)}, std::nullopt, interfaces, lan},
        {"down interfaces skipped", {}, std::nullopt, {{"eth0", lan, false}, {"wlan0", wifi, true}}, wifi},
        {"only loopback", {ipv4(127, 0, 1, 1)}, std::nullopt, {{"lo", ipv4(127, 0, 0, 1), true}}, 0},
        {"nothing at all", {}, std::nullopt, {}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(chooseDefaultAddress(row.lookup, row.routeIface, row.interfaces), row.expected);
    }
}

TEST(IsLoopbackAddress, WholeSlashEight) {
    EXPECT_TRUE(isLoopbackAddress(ipv4(127, 0, 0, 1)));
    EXPECT_TRUE(isLoopbackAddress(ipv4(127, 255, 255, 254)));
    EXPECT_FALSE(isLoopbackAddress(ipv4(128, 0, 0, 1)));
    EXPECT_FALSE(isLoopbackAddress(ipv4(1, 0, 0, 127)));
    EXPECT_FALSE(isLoopbackAddress(0));
}

}  // namespace
}  // namespace sondrel
