#include "engine/owners/owner_claims.h"

#include <algorithm>

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

// One plane per protocol and family: a TCP and a UDP socket on one port
// number are different owners, and so are sockets that can carry only IPv4
// or only IPv6.
std::size_t OwnerClaims::slotIndex(std::uint8_t family, std::uint16_t protocol, std::uint16_t port) {
    const std::size_t plane = (protocol == 17 ? 2u : 0u) + (family == 6 ? 1u : 0u);
    return plane << 16 | port;
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
    if (query.protocol != 6 && query.protocol != 17) return OwnerLabel{&protocolLabel(query.family, protocol), true};
    {
        const std::scoped_lock guard(OwnerMapLock);
        const std::uint32_t label = labelAt(query);
        if (label != 0 && label != kProtocolLabel) return OwnerLabel{&m_labels[label - 1], false};
    }
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
}

}  // namespace sondrel
