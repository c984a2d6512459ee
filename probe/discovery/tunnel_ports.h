#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "probe/discovery/tunnel_links.h"

namespace sondrel {

// A UDP port that a tunnel's kernel socket holds, and the name its outer
// packets are counted under.
struct TunnelPort {
    std::uint16_t port = 0;
    std::u16string label;  // "wg0 tunnel"; "vx0/vx1 tunnel" for interfaces sharing one socket
    bool operator==(const TunnelPort&) const = default;
};

// The ports of the tunnels that are up, ascending.
//
// The kernel tells a WireGuard interface's port only to holders of
// CAP_NET_ADMIN, which the capture helper never holds. Such an interface is
// paired with a UDP port that the last discovery pass found held by no
// process (only the kernel's own sockets are, to a reader of every process)
// and by no other tunnel, when exactly one such interface and one such port
// are left: the rest stay unnamed rather than be guessed. A pairing lasts
// while the interface is up and the port is still held so; interfaces
// brought up one after another are so paired one at a time.
class TunnelPorts {
public:
    // Whether the links (update), the ports or their labels changed.
    bool update(std::span<const TunnelLink> links);
    // The UDP ports of the sockets that the last pass found held by no process.
    bool updateKernelHeld(std::span<const std::uint16_t> udpPorts);

    const std::vector<TunnelPort>& ports() const { return m_ports; }
    // An interface that is up and whose port is not known yet.
    bool portMissing() const { return m_portMissing; }

private:
    bool rebuild();

    std::vector<TunnelLink> m_links;
    std::vector<std::uint16_t> m_kernelHeld;  // ascending, once each
    std::vector<std::pair<std::string, std::uint16_t>> m_paired;
    std::vector<TunnelPort> m_ports;
    bool m_portMissing = false;
};

}  // namespace sondrel
