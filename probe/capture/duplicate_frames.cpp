#include "probe/capture/duplicate_frames.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace sondrel {

namespace {

// Eight bytes at a time, each word multiplied in and rotated, then a final
// mix so that the low bits choosing the slot depend on every byte.
std::uint64_t digestOf(std::span<const std::uint8_t> bytes) {
    std::uint64_t hash = 0x9E3779B97F4A7C15ull ^ bytes.size();
    for (std::size_t at = 0; at < bytes.size(); at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes.data() + at, std::min<std::size_t>(8, bytes.size() - at));
        hash = std::rotl((hash ^ word) * 0xFF51AFD7ED558CCDull, 29);
    }
    hash ^= hash >> 33;
    hash *= 0xC4CEB9FE1A85EC53ull;
    hash ^= hash >> 33;
    return hash;
}

}  // namespace

bool DuplicateFrames::seenOnOtherInterface(std::span<const std::uint8_t> packet, std::uint32_t interfaceIndex,
                                           std::int64_t timeNs) {
    const std::uint64_t digest = digestOf(packet.first(std::min(packet.size(), kDigestBytes)));
    Slot& slot = m_slots[digest % kSlots];
    const std::int64_t age = timeNs - slot.timeNs;
    if (slot.digest == digest && slot.interfaceIndex != interfaceIndex && age >= -kWindowNs && age <= kWindowNs)
        return true;
    slot = Slot{digest, timeNs, interfaceIndex};
    return false;
}

}  // namespace sondrel
