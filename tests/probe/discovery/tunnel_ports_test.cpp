#include "probe/discovery/tunnel_ports.h"

#include <gtest/gtest.h>

#include <vector>

namespace sondrel {
namespace {

constexpr auto kVxlan = TunnelKind::Vxlan;
constexpr auto kWireGuard = TunnelKind::WireGuard;

TEST(TunnelPorts, NamesThePortsOfTheTunnelsThatAreUp) {
    const struct {
        const char* name;
        std::vector<TunnelLink> links;
        std::vector<std::uint16_t> kernelHeld;
        std::vector<TunnelPort> ports;
        bool portMissing;
    } rows[] = {
        {"interfaces sharing one socket share its label; a down one holds none",
         {{"vx1", kVxlan, true, 4789}, {"vx0", kVxlan, true, 4789}, {"gn0", TunnelKind::Geneve, false, 6081}},
         {},
         {{4789, u"vx1/vx0 tunnel"}},
         false},
        {"a WireGuard port the kernel told", {{"wg0", kWireGuard, true, 51820}}, {}, {{51820, u"wg0 tunnel"}}, false},
        {"one WireGuard interface, one port no process or other tunnel holds",
         {{"vx0", kVxlan, true, 4789}, {"wg0", kWireGuard, true, std::nullopt}},
         {4789, 51820, 51820},
         {{4789, u"vx0 tunnel"}, {51820, u"wg0 tunnel"}},
         false},
        {"two of each cannot be told apart",
         {{"wg0", kWireGuard, true, std::nullopt}, {"wg1", kWireGuard, true, std::nullopt}},
         {1000, 2000},
         {},
         true},
        {"no port to be had", {{"wg0", kWireGuard, true, std::nullopt}}, {}, {}, true},
        {"a WireGuard interface that is down", {{"wg0", kWireGuard, false, std::nullopt}}, {1000}, {}, false},
    };
    for (const auto& row : rows) {
        TunnelPorts tunnels;
        tunnels.update(row.links);
        tunnels.updateKernelHeld(row.kernelHeld);
        EXPECT_EQ(tunnels.ports(), row.ports) << row.name;
        EXPECT_EQ(tunnels.portMissing(), row.portMissing) << row.name;
    }

    // Brought up one after the other, two interfaces are paired one at a time.
    TunnelPorts tunnels;
    std::vector<TunnelLink> links{{"wg0", kWireGuard, true, std::nullopt}};
    tunnels.update(links);
    tunnels.updateKernelHeld(std::vector<std::uint16_t>{1000});
    links.push_back({"wg1", kWireGuard, true, std::nullopt});
    EXPECT_TRUE(tunnels.update(links));
    EXPECT_TRUE(tunnels.portMissing());
    tunnels.updateKernelHeld(std::vector<std::uint16_t>{1000, 2000});
    EXPECT_EQ(tunnels.ports(), (std::vector<TunnelPort>{{1000, u"wg0 tunnel"}, {2000, u"wg1 tunnel"}}));
    links[0].up = false;
    EXPECT_TRUE(tunnels.update(links));
    EXPECT_EQ(tunnels.ports(), (std::vector<TunnelPort>{{2000, u"wg1 tunnel"}}));
    EXPECT_FALSE(tunnels.update(links)) << "nothing new";
}

}  // namespace
}  // namespace sondrel
