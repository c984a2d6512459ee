#include "probe/discovery/foreign_flows.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace sondrel {

namespace {

constexpr std::int64_t kSecondNs = 1'000'000'000;
constexpr std::int64_t kIdleNs = 300 * kSecondNs;
constexpr std::size_t kMaxSockets = 65536;
constexpr std::size_t kMaxFlows = 65536;
constexpr std::size_t kMaxPendingConnected = 65536;
constexpr std::size_t kMaxAddressOwners = 4096;

constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

bool isZero(const Ipv6Address& address) {
    return std::all_of(address.begin(), address.end(), [](std::uint8_t byte) { return byte == 0; });
}

std::uint8_t carriesBit(std::uint8_t family) { return family == kFamilyIpv4 ? kCarriesIpv4 : kCarriesIpv6; }

bool isMapped(const Ipv6Address& address) { return std::memcmp(address.data(), kMappedPrefix, 12) == 0; }

// The address as traffic of `family` shows it: an IPv6 socket's IPv4-mapped
// address is an IPv4 address. nullopt when the socket cannot be at that address.
std::optional<Ipv6Address> addressAs(std::uint8_t socketFamily, const Ipv6Address& address, std::uint8_t family) {
    if (socketFamily == family) return address;
    if (family == kFamilyIpv6 || !isMapped(address)) return std::nullopt;
    Ipv6Address v4{};
    std::memcpy(v4.data(), address.data() + 12, 4);
    return v4;
}

bool isLoopback(std::uint8_t family, const Ipv6Address& address) {
    if (family == kFamilyIpv4) return address[0] == 127;
    static constexpr Ipv6Address kLoopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return address == kLoopback;
}

// Forgets at least an eighth of a full map, the entries seen longest ago,
// so that filling it costs a sort only once every many insertions.
template <class Map>
void forgetOldest(Map& map) {
    if (map.empty()) return;
    std::vector<std::int64_t> times;
    times.reserve(map.size());
    for (const auto& [key, value] : map) times.push_back(value.seenNs);
    const auto cut = times.begin() + std::ptrdiff_t(times.size() / 8);
    std::nth_element(times.begin(), cut, times.end());
    const std::int64_t threshold = *cut;
    std::erase_if(map, [&](const auto& item) { return item.second.seenNs <= threshold; });
}

}  // namespace

void ForeignFlows::observeSocket(const ForeignSocket& socket) {
    if (socket.protocol != kProtocolTcp && socket.protocol != kProtocolUdp && socket.protocol != kProtocolSctp) return;
    if ((socket.family != kFamilyIpv4 && socket.family != kFamilyIpv6) || socket.localPort == 0) return;
    SocketKey key{socket.protocol, socket.localPort, socket.family, socket.local, socket.netns};
    Ipv6Address remote = socket.remote;
    if (socket.family == kFamilyIpv4) {
        std::fill(key.local.begin() + 4, key.local.end(), 0);
        std::fill(remote.begin() + 4, remote.end(), 0);
    }
    const std::uint8_t own = carriesBit(socket.family);
    const std::uint8_t carries = socket.family == kFamilyIpv4 ? own : (socket.carries ? socket.carries : own);

    auto held = m_sockets.find(key);
    if (held == m_sockets.end()) {
        if (m_sockets.size() >= kMaxSockets) forgetOldest(m_sockets);
        m_sockets.emplace(key, HeldSocket{socket.label, socket.sinceNs, socket.sinceNs, carries});
    } else if (held->second.label == socket.label) {
        held->second.seenNs = std::max(held->second.seenNs, socket.sinceNs);
        held->second.carries = carries;
    } else if (socket.sinceNs >= held->second.sinceNs) {
        held->second = HeldSocket{socket.label, socket.sinceNs, socket.sinceNs, carries};
    } else {
        return;  // an event older than the socket that replaced this one
    }
    m_observedSinceRead = true;
    learnAddress(key, socket.sinceNs);

    if (isZero(remote) || m_pendingConnected.size() >= kMaxPendingConnected) return;
    for (const std::uint8_t family : {kFamilyIpv4, kFamilyIpv6}) {
        if (!(carries & carriesBit(family))) continue;
        const auto remoteAs = addressAs(socket.family, remote, family);
        if (!remoteAs) continue;
        m_pendingConnected.push_back(FlowClaim{socket.sinceNs, socket.protocol, family, socket.localPort,
                                               socket.remotePort, *remoteAs, socket.label});
        break;
    }
}

bool ForeignFlows::wantsConntrack(std::int64_t nowNs) const {
    if (m_sockets.empty()) return false;
    return m_observedSinceRead || nowNs - m_readNs >= kSecondNs || nowNs < m_readNs;
}

void ForeignFlows::observeConntrack(std::span<const ConntrackEntry> entries, std::int64_t nowNs,
                                    std::vector<FlowClaim>& out) {
    m_readNs = nowNs;
    m_observedSinceRead = false;
    m_pendingConnected.clear();
    forgetIdle(nowNs);
    ++m_generation;
    for (const ConntrackEntry& entry : entries) {
        if (entry.family != kFamilyIpv4 && entry.family != kFamilyIpv6) continue;
        // Source translation: the host sent it from its own address.
        if (entry.origSrc != entry.replyDst) {
            const auto socket = match(entry.protocol, entry.family, entry.origSrc, entry.origSrcPort);
            if (socket != m_sockets.end())
                claim(socket, {entry.protocol, entry.family, entry.replyDstPort, entry.replySrcPort, entry.replySrc},
                      nowNs, out);
        }
        // Destination translation: a port of the host forwarded into the namespace.
        if (entry.origDst != entry.replySrc) {
            const auto socket = match(entry.protocol, entry.family, entry.replySrc, entry.replySrcPort);
            if (socket != m_sockets.end())
                claim(socket, {entry.protocol, entry.family, entry.origDstPort, entry.origSrcPort, entry.origSrc},
                      nowNs, out);
        }
    }
    std::erase_if(m_joined, [&](const auto& item) { return item.second.generation != m_generation; });
}

void ForeignFlows::connectedFlows(std::int64_t nowNs, std::vector<FlowClaim>& out) {
    m_readNs = nowNs;
    m_observedSinceRead = false;
    forgetIdle(nowNs);
    for (FlowClaim& pending : m_pendingConnected) {
        const FlowKey key{pending.protocol, pending.family, pending.localPort, pending.remotePort, pending.remote};
        auto emitted = m_connected.find(key);
        if (emitted != m_connected.end() && emitted->second.label == pending.label) {
            emitted->second.seenNs = std::max(emitted->second.seenNs, nowNs);
            continue;
        }
        if (emitted == m_connected.end()) {
            if (m_connected.size() >= kMaxFlows) forgetOldest(m_connected);
            emitted = m_connected.emplace(key, EmittedFlow{}).first;
        }
        emitted->second = EmittedFlow{pending.label, nowNs, 0};
        out.push_back(std::move(pending));
    }
    m_pendingConnected.clear();
}

// Ranks the sockets of this protocol and port by how surely they hold the
// address: bound to it; bound to any address in the namespace the address was
// seen in; bound to any address, the address seen nowhere. A namespace the
// address was seen in that is not the socket's rules the socket out.
ForeignFlows::SocketMap::iterator ForeignFlows::match(std::uint8_t protocol, std::uint8_t family,
                                                     const Ipv6Address& address, std::uint16_t port) {
    const auto owner = m_addressOwners.find({family, address});
    auto best = m_sockets.end();
    int bestRank = 0;
    bool ambiguous = false;
    for (auto it = m_sockets.lower_bound({protocol, port, 0, {}, 0});
         it != m_sockets.end() && it->first.protocol == protocol && it->first.localPort == port; ++it) {
        const SocketKey& key = it->first;
        if (!(it->second.carries & carriesBit(family))) continue;
        int rank = 0;
        if (isZero(key.local)) {
            if (owner == m_addressOwners.end()) {
                rank = 1;
            } else if (owner->second.netns == key.netns) {
                rank = 2;
            }
        } else if (addressAs(key.family, key.local, family) == address) {
            rank = 3;
        }
        if (rank == 0 || rank < bestRank) continue;
        if (rank > bestRank) {
            best = it;
            bestRank = rank;
            ambiguous = false;
            continue;
        }
        if (key.netns != best->first.netns && it->second.label != best->second.label) ambiguous = true;
        if (it->second.sinceNs > best->second.sinceNs) best = it;
    }
    return ambiguous ? m_sockets.end() : best;
}

void ForeignFlows::claim(SocketMap::iterator socket, const FlowKey& flow, std::int64_t nowNs,
                         std::vector<FlowClaim>& out) {
    socket->second.seenNs = std::max(socket->second.seenNs, nowNs);
    auto emitted = m_joined.find(flow);
    if (emitted != m_joined.end() && emitted->second.label == socket->second.label) {
        emitted->second.generation = m_generation;
        return;
    }
    if (emitted == m_joined.end()) {
        if (m_joined.size() >= kMaxFlows) forgetOldest(m_joined);
        emitted = m_joined.emplace(flow, EmittedFlow{}).first;
    }
    emitted->second = EmittedFlow{socket->second.label, nowNs, m_generation};
    out.push_back(FlowClaim{socket->second.sinceNs, flow.protocol, flow.family, flow.localPort, flow.remotePort,
                            flow.remote, socket->second.label});
}

void ForeignFlows::forgetIdle(std::int64_t nowNs) {
    const std::int64_t cutoff = nowNs - kIdleNs;
    std::erase_if(m_sockets, [&](const auto& item) { return item.second.seenNs < cutoff; });
    std::erase_if(m_connected, [&](const auto& item) { return item.second.seenNs < cutoff; });
    std::erase_if(m_addressOwners, [&](const auto& item) { return item.second.seenNs < cutoff; });
}

// Loopback addresses are every namespace's own and tell none apart.
void ForeignFlows::learnAddress(const SocketKey& key, std::int64_t seenNs) {
    if (isZero(key.local)) return;
    for (const std::uint8_t family : {kFamilyIpv4, kFamilyIpv6}) {
        const auto address = addressAs(key.family, key.local, family);
        if (!address || isLoopback(family, *address)) continue;
        const AddressKey addressKey{family, *address};
        auto owner = m_addressOwners.find(addressKey);
        if (owner == m_addressOwners.end()) {
            if (m_addressOwners.size() >= kMaxAddressOwners) forgetOldest(m_addressOwners);
            m_addressOwners.emplace(addressKey, AddressOwner{key.netns, seenNs});
        } else if (seenNs >= owner->second.seenNs) {
            owner->second = AddressOwner{key.netns, seenNs};
        }
    }
}

}  // namespace sondrel
