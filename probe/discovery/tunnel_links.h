#pragma once

#include <linux/rtnetlink.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/file_descriptor.h"
#include "probe/discovery/interface_watch.h"

namespace sondrel {

// The kernel's UDP encapsulations: their socket belongs to no process.
enum class TunnelKind : std::uint8_t { Vxlan, Geneve, BareUdp, WireGuard };

// One tunnel interface of this network namespace.
struct TunnelLink {
    std::string name;
    TunnelKind kind = TunnelKind::Vxlan;
    // The kernel opens a tunnel's socket when its interface comes up and
    // closes it when the interface goes down.
    bool up = false;
    // Host order. WireGuard's comes from generic netlink, which may refuse.
    std::optional<std::uint16_t> port;
    bool operator==(const TunnelLink&) const = default;
};

enum class NetlinkStatus { More, Done, Failed };

// The tunnels among one batch of RTM_NEWLINK replies. Done at NLMSG_DONE;
// Failed at NLMSG_ERROR or at a message or attribute that overruns what
// holds it (the links before it stay). Other kinds of link are left out, as
// are tunnels whose socket lives in another network namespace
// (IFLA_LINK_NETNSID) and vxlan, geneve or bareudp links without a port.
NetlinkStatus appendTunnelLinks(std::span<const std::byte> replies, std::vector<TunnelLink>& links);

// A generic netlink answer carrying one 16-bit value.
struct GenericAnswer {
    NetlinkStatus status = NetlinkStatus::More;
    int error = 0;  // the errno of NLMSG_ERROR; EPERM for want of CAP_NET_ADMIN
    std::optional<std::uint16_t> value;
};

// CTRL_CMD_GETFAMILY's reply: the family's id (CTRL_ATTR_FAMILY_ID).
GenericAnswer genericFamilyId(std::span<const std::byte> replies);
// One batch of WG_CMD_GET_DEVICE replies: WGDEVICE_A_LISTEN_PORT.
GenericAnswer wireGuardListenPort(std::span<const std::byte> replies);

// Reads the tunnels of the calling thread's network namespace: one
// RTM_GETLINK dump, then one WG_CMD_GET_DEVICE per WireGuard interface,
// which the kernel answers only to holders of CAP_NET_ADMIN. Once refused,
// it is not asked again.
//
// A dump costs some 8 us per interface (a host of containers has hundreds),
// so it is repeated only when the kernel has announced a change of links
// (RTMGRP_LINK, which any process may hear) since the last one.
class TunnelLinkReader {
public:
    // false when the link dump fails; links then holds what came before.
    bool read(std::vector<TunnelLink>& links);
    // Whether the links may differ from the last read: a change announced,
    // announcements lost or not to be had, the last read failed, or a
    // WireGuard port was read (its changes are not announced).
    bool mayHaveChanged();

private:
    std::optional<std::uint16_t> wireGuardPort(std::uint16_t family, const std::string& name);

    std::vector<std::byte> m_buffer;
    InterfaceWatch m_announcements{RTMGRP_LINK};
    bool m_stale = true;
    bool m_portsAsked = false;
    bool m_wireGuardRefused = false;
};

}  // namespace sondrel
