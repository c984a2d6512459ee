#pragma once

#include <cstdint>
#include <vector>

namespace sondrel {

// Open-addressing map from a non-zero 64-bit key to a 32-bit value. One probe
// usually costs one cache line, where a node-based map costs three: this is
// what keeps the per-packet lookups flat as the tables grow.
class FlatIndex {
public:
    static constexpr std::uint32_t kMissing = ~std::uint32_t(0);

    std::uint32_t find(std::uint64_t key) const {
        if (m_slots.empty()) return kMissing;
        for (std::size_t i = slotOf(key);; i = (i + 1) & m_mask) {
            const Slot& slot = m_slots[i];
            if (slot.key == key) return slot.value;
            if (slot.key == 0) return kMissing;
        }
    }

    // The key must not be present yet.
    void insert(std::uint64_t key, std::uint32_t value) {
        if ((m_used + 1) * 2 > m_slots.size()) grow();
        place(key, value);
        ++m_used;
    }

    void clear() {
        m_slots.clear();
        m_mask = 0;
        m_used = 0;
    }

private:
    struct Slot {
        std::uint64_t key = 0;
        std::uint32_t value = 0;
    };

    std::size_t slotOf(std::uint64_t key) const {
        key ^= key >> 33;
        key *= 0xff51afd7ed558ccdull;
        key ^= key >> 33;
        return std::size_t(key) & m_mask;
    }
    void place(std::uint64_t key, std::uint32_t value) {
        std::size_t i = slotOf(key);
        while (m_slots[i].key != 0) i = (i + 1) & m_mask;
        m_slots[i] = Slot{key, value};
    }
    void grow() {
        std::vector<Slot> old = std::move(m_slots);
        m_slots.assign(old.empty() ? 64 : old.size() * 2, Slot{});
        m_mask = m_slots.size() - 1;
        for (const Slot& slot : old)
            if (slot.key != 0) place(slot.key, slot.value);
    }

    std::vector<Slot> m_slots;
    std::size_t m_mask = 0;
    std::size_t m_used = 0;
};

}  // namespace sondrel
