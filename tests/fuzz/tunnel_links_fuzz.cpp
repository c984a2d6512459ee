#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "probe/discovery/tunnel_links.h"
#include "probe/discovery/tunnel_ports.h"

// Any bytes as one read of RTM_GETLINK, CTRL_CMD_GETFAMILY or
// WG_CMD_GET_DEVICE replies, and the tunnel ports the links make.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> replies(reinterpret_cast<const std::byte*>(data), size);
    std::vector<sondrel::TunnelLink> links;
    sondrel::appendTunnelLinks(replies, links);
    // Every link takes a message of its own and a name from within it.
    if (links.size() * NLMSG_HDRLEN > size) __builtin_trap();
    for (const sondrel::TunnelLink& link : links) {
        if (link.name.empty() || link.name.size() > size || link.name.find('\0') != std::string::npos) __builtin_trap();
        if (link.kind != sondrel::TunnelKind::WireGuard && !link.port) __builtin_trap();
    }
    for (const auto& answer : {sondrel::genericFamilyId(replies), sondrel::wireGuardListenPort(replies)}) {
        if (answer.error != 0 && answer.status != sondrel::NetlinkStatus::Failed) __builtin_trap();
    }
    sondrel::TunnelPorts tunnels;
    tunnels.update(links);
    std::vector<std::uint16_t> held;
    for (std::size_t at = 0; at + 1 < size && held.size() < 8; at += 2)
        held.push_back(std::uint16_t(data[at] << 8 | data[at + 1]));
    tunnels.updateKernelHeld(held);
    for (const sondrel::TunnelPort& port : tunnels.ports()) {
        if (!port.label.ends_with(u" tunnel")) __builtin_trap();
    }
    return 0;
}
