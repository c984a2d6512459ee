#include "probe/discovery/claim_tracker.h"

#include <algorithm>
#include <limits>

#include "base/text.h"

namespace sondrel {

namespace {

constexpr std::int64_t kBeginning = std::numeric_limits<std::int64_t>::min();

// Raw sockets are few; a host with more keys than this has its later ones unclaimed.
constexpr std::size_t kMaxRawKeys = 4096;

}  // namespace

ClaimTracker::ClaimTracker() : m_pages((kPortSlots + kMaxRawKeys + kPageSize - 1) / kPageSize) {}

ClaimTracker::SlotState& ClaimTracker::state(std::size_t slot) {
    auto& page = m_pages[slot / kPageSize];
    if (!page) page = std::make_unique<SlotState[]>(kPageSize);
    return page[slot % kPageSize];
}

template <typename Visit>
void ClaimTracker::forEachSlot(const SeenSocket& socket, Visit visit) {
    if (socket.raw) {
        const RawKey key{socket.carries == kCarriesIpv6, std::uint8_t(socket.protocol), socket.localAddress};
        auto it = m_rawSlots.find(key);
        if (it == m_rawSlots.end()) {
            if (m_rawKeys.size() >= kMaxRawKeys || (socket.carries != kCarriesIpv4 && socket.carries != kCarriesIpv6)) return;
            it = m_rawSlots.emplace(key, kPortSlots + m_rawKeys.size()).first;
            m_rawKeys.push_back(key);
        }
        visit(it->second);
        return;
    }
    if (!keyedByPort(socket.protocol)) return;
    if (socket.carries & kCarriesIpv4) visit(portSlot(socket.protocol, false, socket.localPort));
    if (socket.carries & kCarriesIpv6) visit(portSlot(socket.protocol, true, socket.localPort));
}

std::uint32_t ClaimTracker::labelId(const std::u16string* label) {
    if (label == nullptr) return kUnreadable;
    const auto [it, isNew] = m_ids.try_emplace(*label, std::uint32_t(m_texts.size() + 2));
    if (isNew) m_texts.push_back(u16ToUtf8(*label));
    return it->second;
}

void ClaimTracker::claim(std::size_t slot, std::uint32_t label, std::int64_t since,
                         std::vector<OwnerClaim>& out) const {
    OwnerClaim claim;
    claim.sinceNs = since;
    if (slot >= kPortSlots) {
        const RawKey& key = m_rawKeys[slot - kPortSlots];
        claim.raw = true;
        claim.protocol = key.protocol;
        claim.carries = key.ipv6 ? kCarriesIpv6 : kCarriesIpv4;
        claim.localAddress = key.address;
    } else {
        const bool ipv6 = ((slot >> 16) & 1) != 0;
        claim.protocol = kPlaneProtocols[slot >> 17];
        if (claim.protocol == kProtocolIcmp && ipv6) claim.protocol = kProtocolIcmpv6;
        claim.localPort = std::uint16_t(slot & 0xFFFF);
        claim.carries = ipv6 ? kCarriesIpv6 : kCarriesIpv4;
    }
    claim.unreadable = label == kUnreadable;
    if (!claim.unreadable) claim.label = m_texts[label - 2];
    claim.tunnel = m_pages[slot / kPageSize][slot % kPageSize].tunnel;
    out.push_back(std::move(claim));
}

void ClaimTracker::observePass(std::span<const SeenSocket> sockets, std::int64_t seenAtNs,
                               const ProcessStartTime& startTime, std::vector<OwnerClaim>& out) {
    ++m_pass;
    m_touched.clear();
    for (std::uint32_t i = 0; i < sockets.size(); ++i) {
        forEachSlot(sockets[i], [&](std::size_t slot) {
            SlotState& seen = state(slot);
            if (seen.passStamp != m_pass) {
                seen.passStamp = m_pass;
                m_touched.push_back(std::uint32_t(slot));
            }
            seen.passWinner = i;
        });
    }
    for (const std::uint32_t slot : m_touched) {
        SlotState& state = this->state(slot);
        const SeenSocket& socket = sockets[state.passWinner];
        const std::uint32_t label = labelId(socket.label);
        if (state.tunnel) {
            // Known by its inode, the tunnel's socket keeps the claim while it lingers after the tunnel.
            if (socket.label == nullptr) state.inode = socket.inode;
            continue;
        }
        const bool ownersLastSocket = label == kUnreadable && state.label > kUnreadable && socket.inode != 0 &&
                                      socket.inode == state.inode;
        if (state.label != label && !ownersLastSocket) {
            // An owner event after the tables were read knows better.
            if (state.label != 0 && state.lastSeenNs > seenAtNs) continue;
            std::int64_t since = kBeginning;
            if (state.label != 0) {
                since = state.lastSeenNs;
                if (socket.pid != 0 && startTime) {
                    if (const auto started = startTime(socket.pid)) since = std::max(since, std::min(*started, seenAtNs));
                }
            }
            claim(slot, label, since, out);
            state.label = label;
        }
        state.lastSeenNs = std::max(state.lastSeenNs, seenAtNs);
        state.inode = socket.inode;
    }
}

void ClaimTracker::observeEvent(const SeenSocket& socket, std::int64_t atNs, std::vector<OwnerClaim>& out) {
    const std::uint32_t label = labelId(socket.label);
    forEachSlot(socket, [&](std::size_t slot) {
        SlotState& state = this->state(slot);
        if (state.tunnel) return;
        if (state.label != label) {
            claim(slot, label, state.label == 0 ? kBeginning : atNs, out);
            state.label = label;
            state.inode = socket.inode;
        }
        state.lastSeenNs = std::max(state.lastSeenNs, atNs);
    });
}

bool ClaimTracker::observeTunnels(std::span<const TunnelPort> tunnels, std::int64_t seenAtNs, std::int64_t notBeforeNs,
                                  std::vector<OwnerClaim>& out) {
    bool released = false;
    for (const std::uint16_t port : m_tunnelPorts) {
        if (std::any_of(tunnels.begin(), tunnels.end(), [&](const TunnelPort& tunnel) { return tunnel.port == port; }))
            continue;
        state(portSlot(17, false, port)).tunnel = false;
        state(portSlot(17, true, port)).tunnel = false;
        released = true;
    }
    m_tunnelPorts.clear();
    for (const TunnelPort& tunnel : tunnels) {
        const std::uint32_t label = labelId(&tunnel.label);
        for (const bool ipv6 : {false, true}) {
            const std::size_t slot = portSlot(17, ipv6, tunnel.port);
            SlotState& state = this->state(slot);
            state.tunnel = true;
            if (state.label != label) {
                claim(slot, label, state.label == 0 ? kBeginning : std::max(state.lastSeenNs, notBeforeNs), out);
                state.label = label;
            }
            state.lastSeenNs = std::max(state.lastSeenNs, seenAtNs);
        }
        m_tunnelPorts.push_back(tunnel.port);
    }
    return released;
}

}  // namespace sondrel
