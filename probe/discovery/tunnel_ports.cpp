#include "probe/discovery/tunnel_ports.h"

#include <algorithm>
#include <map>

#include "base/text.h"

namespace sondrel {

bool TunnelPorts::update(std::span<const TunnelLink> links) {
    const bool linksChanged = !std::equal(links.begin(), links.end(), m_links.begin(), m_links.end());
    if (linksChanged) m_links.assign(links.begin(), links.end());
    return rebuild() || linksChanged;
}

bool TunnelPorts::updateKernelHeld(std::span<const std::uint16_t> udpPorts) {
    m_kernelHeld.assign(udpPorts.begin(), udpPorts.end());
    std::sort(m_kernelHeld.begin(), m_kernelHeld.end());
    m_kernelHeld.erase(std::unique(m_kernelHeld.begin(), m_kernelHeld.end()), m_kernelHeld.end());
    return rebuild();
}

bool TunnelPorts::rebuild() {
    // Interfaces of one kind may share a socket (vxlan devices of several
    // VNIs on 4789): the packets of the port cannot be told apart.
    std::map<std::uint16_t, std::string> names;
    for (const TunnelLink& link : m_links) {
        if (!link.up || !link.port) continue;
        std::string& name = names[*link.port];
        name += (name.empty() ? "" : "/") + link.name;
    }
    const auto unknownPort = [&](const std::string& name) {
        return std::any_of(m_links.begin(), m_links.end(), [&](const TunnelLink& link) {
            return link.name == name && link.kind == TunnelKind::WireGuard && link.up && !link.port;
        });
    };
    const auto held = [&](std::uint16_t port) {
        return std::binary_search(m_kernelHeld.begin(), m_kernelHeld.end(), port) && !names.contains(port);
    };
    std::erase_if(m_paired, [&](const auto& pair) { return !unknownPort(pair.first) || !held(pair.second); });

    const auto pairedWith = [&](auto matches) { return std::any_of(m_paired.begin(), m_paired.end(), matches); };
    std::vector<const TunnelLink*> unpaired;
    for (const TunnelLink& link : m_links) {
        const bool paired = pairedWith([&](const auto& pair) { return pair.first == link.name; });
        if (!paired && unknownPort(link.name)) unpaired.push_back(&link);
    }
    std::vector<std::uint16_t> candidates;
    for (const std::uint16_t port : m_kernelHeld) {
        const bool paired = pairedWith([&](const auto& pair) { return pair.second == port; });
        if (!paired && held(port)) candidates.push_back(port);
    }
    if (unpaired.size() == 1 && candidates.size() == 1) {
        m_paired.emplace_back(unpaired.front()->name, candidates.front());
        unpaired.clear();
    }
    m_portMissing = !unpaired.empty();

    for (const auto& [name, port] : m_paired) names.emplace(port, name);
    std::vector<TunnelPort> ports;
    for (const auto& [port, name] : names) ports.push_back(TunnelPort{port, utf8ToU16(name) + u" tunnel"});
    const bool changed = ports != m_ports;
    m_ports = std::move(ports);
    return changed;
}

}  // namespace sondrel
