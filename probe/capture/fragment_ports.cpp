#include "probe/capture/fragment_ports.h"

#include <bit>
#include <cstring>
#include <random>

namespace sondrel {

FragmentPorts::FragmentPorts(std::size_t capacity) : m_capacity(capacity == 0 ? 1 : capacity) {}

FragmentPorts::Key FragmentPorts::keyOf(const FragmentFields& fragment, const PacketRecord& record) {
    Key key;
    key.identification = fragment.identification;
    key.family = record.family;
    key.protocol = fragment.keyProtocol;
    if (record.family == kFamilyIpv6) {
        key.source = record.src6;
        key.destination = record.dst6;
    } else {
        std::memcpy(key.source.data(), &record.srcAddr, sizeof record.srcAddr);
        std::memcpy(key.destination.data(), &record.dstAddr, sizeof record.dstAddr);
    }
    return key;
}

// Seeded per table, so a sender who picks identifications and addresses cannot
// line its fragments up in one chain.
std::uint32_t FragmentPorts::bucketOf(const Key& key) const {
    // Field by field: reading the key back as whole words right after it was
    // assembled from narrow stores stalls on store forwarding.
    std::uint64_t words[4];
    std::memcpy(words, key.source.data(), 16);
    std::memcpy(words + 2, key.destination.data(), 16);
    std::uint64_t hash = m_seed ^ (std::uint64_t{key.identification} << 16 | std::uint64_t{key.family} << 8 |
                                   key.protocol);
    for (const std::uint64_t word : words) {
        hash = (hash ^ word) * 0x9E3779B97F4A7C15u;
        hash ^= hash >> 29;
    }
    return static_cast<std::uint32_t>(hash & (m_buckets.size() - 1));
}

FragmentPorts::Entry* FragmentPorts::find(const Key& key, std::uint32_t bucket) {
    for (std::uint32_t slot = m_buckets[bucket]; slot != kNone; slot = m_entries[slot].next) {
        if (m_entries[slot].key == key) {
            return &m_entries[slot];
        }
    }
    return nullptr;
}

void FragmentPorts::unlink(std::uint32_t slot) {
    std::uint32_t* link = &m_buckets[m_entries[slot].bucket];
    while (*link != slot) {
        link = &m_entries[*link].next;
    }
    *link = m_entries[slot].next;
    m_entries[slot].used = false;
}

void FragmentPorts::remember(const Key& key, const PacketRecord& record) {
    if (m_entries.empty()) {
        m_entries.resize(m_capacity);
        m_buckets.assign(std::bit_ceil(2 * m_capacity), kNone);
        m_seed = (std::uint64_t{std::random_device{}()} << 32) | std::random_device{}();
    }
    const std::uint32_t bucket = bucketOf(key);
    Entry* entry = find(key, bucket);
    if (entry == nullptr) {
        // A repeated key (an identification reused while its entry lives) is
        // refreshed in place and keeps its place in the eviction order.
        const std::uint32_t slot = m_oldest;
        m_oldest = static_cast<std::uint32_t>((m_oldest + 1) % m_capacity);
        if (m_entries[slot].used) {
            unlink(slot);
        }
        entry = &m_entries[slot];
        entry->key = key;
        entry->bucket = bucket;
        entry->next = m_buckets[bucket];
        entry->used = true;
        m_buckets[bucket] = slot;
    }
    entry->timeNs = record.timeNs;
    entry->srcPort = record.srcPort;
    entry->dstPort = record.dstPort;
    entry->protocol = static_cast<std::uint8_t>(record.protocol);
}

void FragmentPorts::apply(const FragmentFields& fragment, PacketRecord& record) {
    switch (fragment.role) {
    case FragmentRole::Whole:
        return;
    case FragmentRole::First:
        remember(keyOf(fragment, record), record);
        return;
    case FragmentRole::Later:
        break;
    }
    if (m_entries.empty()) {
        return;
    }
    const Key key = keyOf(fragment, record);
    const Entry* entry = find(key, bucketOf(key));
    if (entry == nullptr) {
        return;
    }
    // A capture clock stepped back makes the age negative: still a match. The
    // difference wraps rather than overflows on absurd time stamps.
    const std::uint64_t now = static_cast<std::uint64_t>(record.timeNs);
    const auto age = static_cast<std::int64_t>(now - static_cast<std::uint64_t>(entry->timeNs));
    if (age <= kWindowNs) {
        record.srcPort = entry->srcPort;
        record.dstPort = entry->dstPort;
        record.protocol = entry->protocol;
    }
}

}  // namespace sondrel
