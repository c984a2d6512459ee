#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace sondrel {

// A bridge and its port, or a bond and its slave, each show the same frame:
// captured on all interfaces, it would count twice. Remembers a digest of the
// IP packets seen lately, and which interface each came by; the same packet
// from another interface within kWindowNs is a copy. The same interface
// repeating a packet (a TCP retransmission) is never one: only a second
// interface makes a copy.
class DuplicateFrames {
public:
    static constexpr std::int64_t kWindowNs = 5'000'000;
    // Bytes of the packet that make its digest: headers and the start of the
    // payload tell apart packets of one flow (IPv4 identification, TCP
    // sequence numbers, UDP checksums), and forwarding by a router changes them.
    static constexpr std::size_t kDigestBytes = 64;

    DuplicateFrames() : m_slots(kSlots) {}

    // Whether `packet` (from the IP header on) arrived by another interface
    // within the window. Remembers it otherwise.
    bool seenOnOtherInterface(std::span<const std::uint8_t> packet, std::uint32_t interfaceIndex, std::int64_t timeNs);

private:
    static constexpr std::size_t kSlots = 1024;
    struct Slot {
        std::uint64_t digest = 0;
        std::int64_t timeNs = 0;
        std::uint32_t interfaceIndex = 0;
    };
    std::vector<Slot> m_slots;
};

}  // namespace sondrel
