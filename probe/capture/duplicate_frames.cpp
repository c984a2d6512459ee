#include "probe/capture/duplicate_frames.h"

#include <algorithm>

namespace sondrel {

namespace {

// FNV-1a, then a final mix so that the low bits choosing the slot depend on every byte.
std::uint64_t digestOf(std::span<const std::uint8_t> bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ull ^ bytes.size();
    for (const std::uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001b3ull;
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdull;
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
