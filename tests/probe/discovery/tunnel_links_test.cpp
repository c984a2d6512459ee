#include "probe/discovery/tunnel_links.h"

#include <arpa/inet.h>
#include <linux/genetlink.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/wireguard.h>
#include <net/if.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

namespace sondrel {
namespace {

using Bytes = std::vector<std::byte>;

void appendRaw(Bytes& bytes, const void* data, std::size_t size) {
    const std::size_t at = bytes.size();
    bytes.resize(at + size);
    std::memcpy(bytes.data() + at, data, size);
}

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// `length` other than 0 overrides the attribute's own, to make it lie.
Bytes attribute(std::uint16_t type, const Bytes& payload, std::uint16_t length = 0) {
    const nlattr header{length != 0 ? length : std::uint16_t(NLA_HDRLEN + payload.size()), type};
    Bytes bytes;
    appendRaw(bytes, &header, sizeof header);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    bytes.resize(NLA_ALIGN(bytes.size()));
    return bytes;
}

Bytes text(std::string_view value) {
    Bytes bytes;
    appendRaw(bytes, value.data(), value.size());
    bytes.push_back(std::byte{0});
    return bytes;
}

Bytes u16(std::uint16_t value) {
    Bytes bytes;
    appendRaw(bytes, &value, sizeof value);
    return bytes;
}

Bytes message(std::uint16_t type, const Bytes& fixed, const Bytes& attributes, std::uint32_t extra = 0) {
    nlmsghdr header{};
    header.nlmsg_len = std::uint32_t(NLMSG_HDRLEN + NLMSG_ALIGN(fixed.size()) + attributes.size()) + extra;
    header.nlmsg_type = type;
    header.nlmsg_flags = NLM_F_MULTI;
    Bytes bytes;
    appendRaw(bytes, &header, sizeof header);
    bytes.insert(bytes.end(), fixed.begin(), fixed.end());
    bytes.resize(NLMSG_HDRLEN + NLMSG_ALIGN(fixed.size()));
    bytes.insert(bytes.end(), attributes.begin(), attributes.end());
    return bytes;
}

Bytes link(unsigned flags, const Bytes& attributes, std::uint32_t extra = 0) {
    ifinfomsg info{};
    info.ifi_flags = flags;
    Bytes fixed;
    appendRaw(fixed, &info, sizeof info);
    return message(RTM_NEWLINK, fixed, attributes, extra);
}

// A link of `kind` with one IFLA_INFO_DATA attribute (none when dataType is 0).
Bytes typedLink(std::string_view name, std::string_view kind, unsigned flags, std::uint16_t dataType = 0,
                const Bytes& data = {}, const Bytes& more = {}) {
    Bytes info = attribute(IFLA_INFO_KIND, text(kind));
    if (dataType != 0) info = joined({info, attribute(IFLA_INFO_DATA, attribute(dataType, data))});
    return link(flags, joined({attribute(IFLA_IFNAME, text(name)), attribute(IFLA_LINKINFO, info), more}));
}

Bytes bigEndian(std::uint16_t port) { return u16(htons(port)); }

Bytes control(std::uint16_t type, int error = 0) {
    Bytes fixed;
    appendRaw(fixed, &error, sizeof error);
    return message(type, fixed, {});
}

Bytes generic(std::uint16_t type, const Bytes& attributes) {
    const genlmsghdr header{1, 1, 0};
    Bytes fixed;
    appendRaw(fixed, &header, sizeof header);
    return message(type, fixed, attributes);
}

TEST(AppendTunnelLinks, ReadsTheTunnelsAndTheirPortsWithinBounds) {
    const Bytes vxlan = typedLink("vx0", "vxlan", IFF_UP, IFLA_VXLAN_PORT, bigEndian(4789));
    const Bytes geneve = typedLink("gn0", "geneve", 0, IFLA_GENEVE_PORT, bigEndian(6081));
    const Bytes bareudp = typedLink("bu0", "bareudp", IFF_UP, IFLA_BAREUDP_PORT, bigEndian(6635));
    const Bytes wireguard = typedLink("wg0", "wireguard", IFF_UP);
    const Bytes veth = typedLink("veth0", "veth", IFF_UP);
    const Bytes loopback = link(IFF_UP, attribute(IFLA_IFNAME, text("lo")));
    const Bytes elsewhere = typedLink("vx1", "vxlan", IFF_UP, IFLA_VXLAN_PORT, bigEndian(4790),
                                      attribute(IFLA_LINK_NETNSID, Bytes(4)));
    const Bytes noPort = typedLink("vx2", "vxlan", IFF_UP, IFLA_VXLAN_ID, Bytes(4));
    const Bytes oddPort = typedLink("vx3", "vxlan", IFF_UP, IFLA_VXLAN_PORT, Bytes(3));
    const Bytes overrun = link(IFF_UP, attribute(IFLA_IFNAME, text("vx4"), 64));
    const Bytes nestedOverrun =
        link(IFF_UP, attribute(IFLA_LINKINFO, attribute(IFLA_INFO_KIND, text("vxlan"), 40)));
    const Bytes beyondRead = link(IFF_UP, attribute(IFLA_IFNAME, text("vx5")), 8);
    const Bytes shortHeader = message(RTM_NEWLINK, Bytes(4), {});
    const TunnelLink vx0{"vx0", TunnelKind::Vxlan, true, 4789};
    const struct {
        const char* name;
        Bytes replies;
        NetlinkStatus status;
        std::vector<TunnelLink> links;
    } rows[] = {
        {"each kind with its port, up or down, then the end",
         joined({vxlan, geneve, bareudp, wireguard, control(NLMSG_DONE)}),
         NetlinkStatus::Done,
         {vx0, {"gn0", TunnelKind::Geneve, false, 6081}, {"bu0", TunnelKind::BareUdp, true, 6635},
          {"wg0", TunnelKind::WireGuard, true, std::nullopt}}},
        {"other links are no tunnels", joined({veth, loopback, vxlan}), NetlinkStatus::More, {vx0}},
        {"a socket in another namespace, a missing or odd port: left out", joined({elsewhere, noPort, oddPort, vxlan}),
         NetlinkStatus::More, {vx0}},
        {"an attribute beyond its message", joined({vxlan, overrun, geneve}), NetlinkStatus::Failed, {vx0}},
        {"an attribute beyond the one it is nested in", joined({vxlan, nestedOverrun}), NetlinkStatus::Failed, {vx0}},
        {"a message beyond the read", joined({vxlan, beyondRead}), NetlinkStatus::Failed, {vx0}},
        {"a message too short for its header", shortHeader, NetlinkStatus::Failed, {}},
        {"the kernel's error", joined({control(NLMSG_ERROR, -EINVAL), vxlan}), NetlinkStatus::Failed, {}},
        {"a cut-off header is left for the next read", Bytes(vxlan.begin(), vxlan.begin() + 10), NetlinkStatus::More, {}},
    };
    for (const auto& row : rows) {
        std::vector<TunnelLink> links;
        EXPECT_EQ(appendTunnelLinks(row.replies, links), row.status) << row.name;
        EXPECT_EQ(links, row.links) << row.name;
    }
}

TEST(GenericAnswers, ReadTheFamilyAndTheListenPort) {
    const auto family = [](const Bytes& replies) { return genericFamilyId(replies); };
    const auto wireGuard = [](const Bytes& replies) { return wireGuardListenPort(replies); };
    const Bytes device = generic(0x1c, joined({attribute(WGDEVICE_A_IFNAME, text("wg0")),
                                                attribute(WGDEVICE_A_PRIVATE_KEY, Bytes(32)),
                                                attribute(WGDEVICE_A_LISTEN_PORT, u16(51820))}));
    const struct {
        const char* name;
        GenericAnswer (*parse)(const Bytes&);
        Bytes replies;
        NetlinkStatus status;
        int error;
        std::optional<std::uint16_t> value;
    } rows[] = {
        {"the family's id", family,
         generic(GENL_ID_CTRL, joined({attribute(CTRL_ATTR_FAMILY_NAME, text("wireguard")),
                                       attribute(CTRL_ATTR_FAMILY_ID, u16(0x1c))})),
         NetlinkStatus::Done, 0, 0x1c},
        {"no such family", family, control(NLMSG_ERROR, -ENOENT), NetlinkStatus::Failed, ENOENT, std::nullopt},
        {"the device's port, in host order, before the end", wireGuard, joined({device, control(NLMSG_DONE)}),
         NetlinkStatus::Done, 0, 51820},
        {"the dump goes on in the next read", wireGuard, device, NetlinkStatus::More, 0, 51820},
        {"refused without CAP_NET_ADMIN", wireGuard, control(NLMSG_ERROR, -EPERM), NetlinkStatus::Failed, EPERM,
         std::nullopt},
        {"an error without its number", wireGuard, message(NLMSG_ERROR, {}, {}), NetlinkStatus::Failed, EPROTO,
         std::nullopt},
        {"a header too short", wireGuard, message(0x1c, {}, {}), NetlinkStatus::Failed, 0, std::nullopt},
        {"an attribute beyond its message", wireGuard, generic(0x1c, attribute(WGDEVICE_A_LISTEN_PORT, u16(1), 12)),
         NetlinkStatus::Failed, 0, std::nullopt},
    };
    for (const auto& row : rows) {
        const GenericAnswer answer = row.parse(row.replies);
        EXPECT_EQ(answer.status, row.status) << row.name;
        EXPECT_EQ(answer.error, row.error) << row.name;
        EXPECT_EQ(answer.value, row.value) << row.name;
    }
}

}  // namespace
}  // namespace sondrel
