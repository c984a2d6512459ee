#pragma once

#include <cstdint>
#include <vector>

namespace sondrel {

// Open-addressing map from a three-word key (the first word never zero) to a
// 32-bit value. One probe usually costs one cache line, where a node-based
// map costs three: this is what keeps the per-packet lookups flat as the
// tables grow.
class FlatIndex {
public:
    struct Key {
        std::uint64_t a = 0;  // never zero in a stored key
        std::uint64_t b = 0;
        std::uint64_t c = 0;
        bool operator==(const Key&) const = default;
    };

    static constexpr std::uint32_t kMissing = ~std::uint32_t(0);

    std::uint32_t find(const Key& key) const {
        if (m_slots.empty()) return kMissing;
        for (std::size_t i = slotOf(key);; i = (i + 1) & m_mask) {
            const Slot& slot = m_slots[i];
            if (slot.key == key) return slot.value;
            if (slot.key.a == 0) return kMissing;
        }
    }

    // The key must not be present yet.
    void insert(const Key& key, std::uint32_t value) {
        if ((m_used + 1) * 2 > m_slots.size()) grow();
        place(key, value);
        ++m_used;
    }

    std::size_t size() const { return m_used; }

    void clear() {
        m_slots.clear();
        m_mask = 0;
        m_used = 0;
    }

private:
    struct Slot {
        Key key;
        std::uint32_t value = 0;
    };

    std::size_t slotOf(const Key& key) const {
        std::uint64_t h = key.a * 0x9E3779B97F4A7C15ull ^ key.b * 0xC2B2AE3D27D4EB4Full ^ key.c;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdull;
        h ^= h >> 33;
        return std::size_t(h) & m_mask;
    }
    void place(const Key& key, std::uint32_t value) {
        std::size_t i = slotOf(key);
        while (m_slots[i].key.a != 0) i = (i + 1) & m_mask;
        m_slots[i] = Slot{key, value};
    }
    void grow() {
        std::vector<Slot> old = std::move(m_slots);
        m_slots.assign(old.empty() ? 64 : old.size() * 2, Slot{});
        m_mask = m_slots.size() - 1;
        for (const Slot& slot : old)
            if (slot.key.a != 0) place(slot.key, slot.value);
    }

    std::vector<Slot> m_slots;
    std::size_t m_mask = 0;
    std::size_t m_used = 0;
};

}  // namespace sondrel
