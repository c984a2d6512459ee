#include "engine/owners/owner_claims.h"

#include <algorithm>
#include <cstring>

#include "base/text.h"
#include "base/protocol_names.h"

namespace sondrel {

namespace {

constexpr std::uint32_t kProtocolLabel = ~std::uint32_t(0);

}  // namespace

OwnerClaims::OwnerClaims() = default;

OwnerClaims::Slot& OwnerClaims::slot(std::size_t index) {
    auto& page = m_pages[index >> 8];
    if (!page) page = std::make_unique<Slot[]>(256);
    return page[index & 0xFF];
}

const OwnerClaims::Slot* OwnerClaims::findSlot(std::size_t index) const {
    const auto& page = m_pages[index >> 8];
    return page ? &page[index & 0xFF] : nullptr;
}

std::size_t OwnerClaims::slotIndex(std::uint8_t family, std::uint16_t protocol, std::uint16_t port) {
    return portSlot(protocol, family == kFamilyIpv6, port);
}

void OwnerClaims::addToTimeline(Timeline& timeline, std::int64_t since, std::uint32_t label) {
    if (!timeline.empty() && since >= timeline.back().since) {
        if (timeline.back().label != label) timeline.push_back(Older{since, label, false});
        return;
    }
    const auto at = std::upper_bound(timeline.begin(), timeline.end(), since,
                                     [](std::int64_t value, const Older& entry) { return value < entry.since; });
    timeline.insert(at, Older{since, label, false});
}

// As for ports: the owner since the latest start before the time, else the earliest.
std::uint32_t OwnerClaims::timelineAt(const Timeline& timeline, std::int64_t timeNs) {
    if (timeline.empty()) return 0;
    if (timeNs == 0) return timeline.back().label;
    const auto after = std::upper_bound(timeline.begin(), timeline.end(), timeNs,
                                        [](std::int64_t value, const Older& entry) { return value < entry.since; });
    return after == timeline.begin() ? timeline.front().label : std::prev(after)->label;
}

namespace {

Ipv6Address claimAddress(std::uint8_t family, const IpAddress& address) {
    if (family == kFamilyIpv6) return address.bytes;
    Ipv6Address bytes{};
    const std::uint32_t ipv4 = address.ipv4();
    std::memcpy(bytes.data(), &ipv4, 4);
    return bytes;
}

}  // namespace

// A raw socket bound to the packet's local address, else one bound to any.
std::uint32_t OwnerClaims::rawOwnerAt(const OwnerQuery& query) const {
    if (m_raw.empty() || query.protocol > 255) return 0;
    RawKey key{query.family, std::uint8_t(query.protocol), {}};
    if (query.local != nullptr) {
        key.address = claimAddress(query.family, *query.local);
        if (const auto it = m_raw.find(key); it != m_raw.end()) return timelineAt(it->second, query.timeNs);
        key.address = {};
    }
    const auto it = m_raw.find(key);
    return it == m_raw.end() ? 0 : timelineAt(it->second, query.timeNs);
}

// Only from the flow's start on: before it, the host's port owner had the port.
std::uint32_t OwnerClaims::flowOwnerAt(const OwnerQuery& query) const {
    if (query.remote == nullptr) return 0;
    const auto it = m_flows.find(
        FlowKey{std::uint8_t(query.protocol), query.family, query.localPort, query.remotePort, *query.remote});
    if (it == m_flows.end() || (query.timeNs != 0 && query.timeNs < it->second.front().since)) return 0;
    return timelineAt(it->second, query.timeNs);
}

std::uint32_t OwnerClaims::intern(const std::string& utf8Label) {
    const auto [it, isNew] = m_labelIds.try_emplace(utf8Label, std::uint32_t(m_labels.size() + 1));
    if (isNew) m_labels.push_back(utf8ToU16(utf8Label));
    return it->second;
}

void OwnerClaims::addToSlot(std::size_t index, std::int64_t since, std::uint32_t label, bool protocolRow) {
    Slot& current = slot(index);
    if (current.label == 0) {
        current = Slot{since, label, protocolRow};
        return;
    }
    if (since >= current.since) {
        if (current.label == label) return;
        m_older[std::uint32_t(index)].push_back(Older{current.since, current.label, current.protocolRow});
        current = Slot{since, label, protocolRow};
        return;
    }
    // A claim about an earlier moment than the latest one (an owner event
    // that overtook a pass): it goes where its time puts it.
    auto& older = m_older[std::uint32_t(index)];
    const auto at = std::upper_bound(older.begin(), older.end(), since,
                                     [](std::int64_t value, const Older& entry) { return value < entry.since; });
    older.insert(at, Older{since, label, protocolRow});
}

void OwnerClaims::add(std::span<const OwnerClaim> claims) {
    const std::scoped_lock guard(OwnerMapLock);
    for (const OwnerClaim& claim : claims) {
        const std::uint32_t label = claim.unreadable ? kProtocolLabel : intern(claim.label);
        if (claim.raw) {
            const std::uint8_t family = claim.carries == kCarriesIpv6 ? kFamilyIpv6 : kFamilyIpv4;
            addToTimeline(m_raw[RawKey{family, std::uint8_t(claim.protocol), claim.localAddress}], claim.sinceNs, label);
            m_anyRaw.store(true, std::memory_order_relaxed);
            continue;
        }
        if (claim.tunnel && label != kProtocolLabel) {
            if (m_tunnelLabels.size() < label) m_tunnelLabels.resize(label);
            m_tunnelLabels[label - 1] = true;
        }
        for (const std::uint8_t family : {std::uint8_t(4), std::uint8_t(6)}) {
            const bool carried = (claim.carries & (family == 4 ? kCarriesIpv4 : kCarriesIpv6)) != 0;
            if (carried) addToSlot(slotIndex(family, claim.protocol, claim.localPort), claim.sinceNs, label, claim.unreadable);
        }
    }
}

void OwnerClaims::addFlows(std::span<const FlowClaim> claims) {
    const std::scoped_lock guard(OwnerMapLock);
    for (const FlowClaim& claim : claims) {
        IpAddress remote = IpAddress::fromIpv6(claim.remote);
        if (claim.family == kFamilyIpv4) {
            std::uint32_t ipv4;
            std::memcpy(&ipv4, claim.remote.data(), 4);
            remote = IpAddress::fromIpv4(ipv4);
        }
        addToTimeline(m_flows[FlowKey{claim.protocol, claim.family, claim.localPort, claim.remotePort, remote}],
                      claim.sinceNs, intern(claim.label));
    }
    if (!m_flows.empty()) m_anyFlows.store(true, std::memory_order_release);
}

namespace {

// Times come from another process: compared without arithmetic that could overflow.
bool laterBy(std::int64_t later, std::int64_t earlier, std::int64_t gap) {
    return later > earlier && std::uint64_t(later) - std::uint64_t(earlier) > std::uint64_t(gap);
}

}  // namespace

void OwnerClaims::addPacketSends(const std::string& label, std::span<const PacketSend> sends) {
    // A program that writes faster than its frames are counted cannot grow this without end.
    constexpr std::size_t kMaxPending = 65536;
    // Frames that are not IP (ARP, say) are never captured as packets: theirs go unmatched.
    constexpr std::int64_t kForgetAfterNs = 1'000'000'000;
    const std::scoped_lock guard(OwnerMapLock);
    const std::uint32_t id = intern(label);
    for (const PacketSend& send : sends) {
        if (m_sendCount >= kMaxPending) break;
        m_sends[send.length].push_back(PendingSend{send.timeNs, send.interfaceIndex, id});
        ++m_sendCount;
    }
    if (!sends.empty()) {
        const std::int64_t newest = sends.back().timeNs;
        for (auto it = m_sends.begin(); it != m_sends.end();) {
            auto& pending = it->second;
            while (!pending.empty() && laterBy(newest, pending.front().timeNs, kForgetAfterNs)) {
                pending.pop_front();
                --m_sendCount;
            }
            it = pending.empty() ? m_sends.erase(it) : std::next(it);
        }
    }
    m_anySends.store(m_sendCount > 0, std::memory_order_release);
}

OwnerLabel OwnerClaims::matchPacketSend(const PacketRecord& record) const {
    // The frame is captured on its way out, a little after the program handed
    // it over; one the program wrote long before is not this one.
    constexpr std::int64_t kEarlyNs = 2'000'000;
    constexpr std::int64_t kLateNs = 200'000'000;
    constexpr std::uint32_t kEthernetHeader = 14;
    constexpr std::uint32_t kShortestEthernetFrame = 60;
    const std::scoped_lock guard(OwnerMapLock);
    // A datagram socket writes the packet, a raw one the frame; a raw frame
    // too short for Ethernet may carry the program's own padding.
    const std::uint32_t candidates[] = {record.length, record.length + kEthernetHeader, kShortestEthernetFrame};
    for (const std::uint32_t length : candidates) {
        if (length == kShortestEthernetFrame && record.length + kEthernetHeader >= kShortestEthernetFrame) break;
        const auto it = m_sends.find(length);
        if (it == m_sends.end()) continue;
        auto& pending = it->second;
        while (!pending.empty() && laterBy(record.timeNs, pending.front().timeNs, kLateNs)) {
            pending.pop_front();
            --m_sendCount;
        }
        for (auto send = pending.begin(); send != pending.end() && !laterBy(send->timeNs, record.timeNs, kEarlyNs); ++send) {
            if (send->interfaceIndex != 0 && record.interfaceIndex != 0 && send->interfaceIndex != record.interfaceIndex)
                continue;
            const std::uint32_t label = send->label;
            pending.erase(send);
            --m_sendCount;
            if (pending.empty()) m_sends.erase(it);
            if (m_sendCount == 0) m_anySends.store(false, std::memory_order_release);
            return OwnerLabel{&m_labels[label - 1], false};
        }
        if (pending.empty()) m_sends.erase(it);
    }
    if (m_sendCount == 0) m_anySends.store(false, std::memory_order_release);
    return {};
}

void OwnerClaims::markComplete(std::int64_t upToNs) {
    std::int64_t current = m_completeUpTo.load(std::memory_order_relaxed);
    while (upToNs > current && !m_completeUpTo.compare_exchange_weak(current, upToNs, std::memory_order_release)) {
    }
    // Packets wait at most a tick or two before they are counted: owners a
    // minute out of date answer nothing any more.
    constexpr std::int64_t kPruneEvery = 10'000'000'000;
    constexpr std::int64_t kKeep = 60'000'000'000;
    // The times come from another process: no arithmetic on them may overflow.
    std::int64_t sinceLastPrune;
    std::int64_t keepFrom;
    if (!__builtin_sub_overflow(upToNs, m_lastPrune, &sinceLastPrune) && sinceLastPrune >= kPruneEvery &&
        !__builtin_sub_overflow(upToNs, kKeep, &keepFrom)) {
        m_lastPrune = upToNs;
        prune(keepFrom);
    }
}

void OwnerClaims::markFinal() { m_completeUpTo.store(std::numeric_limits<std::int64_t>::max(), std::memory_order_release); }

OwnerLabel OwnerClaims::lookupOwner(const OwnerQuery& query) const {
    const auto protocol = std::uint8_t(query.protocol);
    std::uint32_t label = 0;
    if (query.protocol == kProtocolTcp || query.protocol == kProtocolUdp || query.protocol == kProtocolSctp) {
        const std::scoped_lock guard(OwnerMapLock);
        if (m_anyFlows.load(std::memory_order_relaxed)) label = flowOwnerAt(query);
        if (label == 0) label = labelAt(query);
    } else if (!isEchoProtocol(query.family, query.protocol)) {
        if (m_anyRaw.load(std::memory_order_relaxed)) {
            const std::scoped_lock guard(OwnerMapLock);
            label = rawOwnerAt(query);
        }
    } else if (query.localPort != 0) {
        // An echo without an identifier at this end is the kernel's: a reply
        // to a request from afar, or a request from afar. One that no ping
        // socket sent came from a raw socket of its protocol.
        const std::scoped_lock guard(OwnerMapLock);
        label = labelAt(query);
        if (label == 0 || label == kProtocolLabel) label = rawOwnerAt(query);
    }
    if (label != 0 && label != kProtocolLabel) return OwnerLabel{&m_labels[label - 1], false};
    return OwnerLabel{&protocolLabel(query.family, protocol), true};
}

OwnerLabel OwnerClaims::tunnelAt(const OwnerQuery& query) const {
    if (query.protocol != 17) return {};
    const std::scoped_lock guard(OwnerMapLock);
    const std::uint32_t label = labelAt(query);
    if (label == 0 || label == kProtocolLabel || label > m_tunnelLabels.size() || !m_tunnelLabels[label - 1]) return {};
    return OwnerLabel{&m_labels[label - 1], false};
}

std::uint32_t OwnerClaims::labelAt(const OwnerQuery& query) const {
    const std::size_t index = slotIndex(query.family, query.protocol, query.localPort);
    const Slot* found = findSlot(index);
    std::uint32_t label = found != nullptr ? found->label : 0;
    if (label != 0 && query.timeNs != 0 && query.timeNs < found->since) {
        const auto it = m_older.find(std::uint32_t(index));
        if (it != m_older.end()) {
            const auto& older = it->second;
            const auto after = std::upper_bound(older.begin(), older.end(), query.timeNs,
                                                [](std::int64_t value, const Older& entry) { return value < entry.since; });
            label = after == older.begin() ? older.front().label : std::prev(after)->label;
        }
    }
    return label;
}

void OwnerClaims::prune(std::int64_t beforeNs) {
    const std::scoped_lock guard(OwnerMapLock);
    for (auto it = m_older.begin(); it != m_older.end();) {
        auto& older = it->second;
        const std::int64_t latestSince = findSlot(it->first)->since;
        // An entry answers only for times before its successor's since.
        std::size_t keepFrom = 0;
        while (keepFrom < older.size()) {
            const std::int64_t successorSince = keepFrom + 1 < older.size() ? older[keepFrom + 1].since : latestSince;
            if (successorSince > beforeNs) break;
            ++keepFrom;
        }
        older.erase(older.begin(), older.begin() + std::ptrdiff_t(keepFrom));
        it = older.empty() ? m_older.erase(it) : std::next(it);
    }
    // The last entry of a timeline always answers; those before it only until their successor.
    const auto trim = [beforeNs](Timeline& timeline) {
        std::size_t keepFrom = 0;
        while (keepFrom + 1 < timeline.size() && timeline[keepFrom + 1].since <= beforeNs) ++keepFrom;
        timeline.erase(timeline.begin(), timeline.begin() + std::ptrdiff_t(keepFrom));
    };
    for (auto& [key, timeline] : m_raw) trim(timeline);
    // Connections come and go by the thousand; past the bound, those that began longest ago go first.
    constexpr std::size_t kMaxFlows = 262144;
    for (auto it = m_flows.begin(); it != m_flows.end();) {
        trim(it->second);
        it = m_flows.size() > kMaxFlows && it->second.back().since < beforeNs ? m_flows.erase(it) : std::next(it);
    }
}

}  // namespace sondrel
