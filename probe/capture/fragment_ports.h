#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/packet_record.h"

namespace sondrel {

// Where a packet stands in IP fragmentation.
enum class FragmentRole : std::uint8_t {
    Whole,  // not fragmented; also an IPv6 atomic fragment (offset 0, no more fragments)
    First,  // offset 0 with more fragments to come: its transport header holds the ports
    Later,  // offset above 0: its payload starts inside the datagram, so it has no ports
};

// The fields that tie the fragments of one datagram together.
struct FragmentFields {
    FragmentRole role = FragmentRole::Whole;
    // IPv4: the Protocol byte. IPv6: the Fragment header's Next Header, which names the
    // first header of the fragmentable part and so is the same in every fragment.
    std::uint8_t keyProtocol = 0;
    std::uint32_t identification = 0;
};

// Lends the ports of a datagram's first fragment to its later fragments, which
// carry none. A first fragment is remembered under (family, source, destination,
// identification, key protocol); a later one within kWindowNs of capture time
// after it takes its ports and upper-layer protocol. A later fragment that finds
// nothing (its first was never seen, came after it, or is too old or evicted)
// keeps ports 0 and so counts under its protocol's label.
//
// Runs on the one capture thread; not thread-safe. The table has a fixed
// capacity: each new first fragment takes the slot of the oldest one remembered,
// so memory stays bounded whatever the traffic. The fragments of one datagram
// normally follow each other within microseconds, so an eviction costs a match
// only when more than 4096 fragmented datagrams are under way at once. The
// window is short because IPv4 identifications are 16 bits: the longer an entry
// lives, the likelier a later datagram reuses its key. The storage (about
// 300 KB) is allocated when the first fragment is seen.
class FragmentPorts {
public:
    static constexpr std::size_t kCapacity = 4096;
    static constexpr std::int64_t kWindowNs = 2'000'000'000;

    FragmentPorts() : FragmentPorts(kCapacity) {}
    explicit FragmentPorts(std::size_t capacity);

    // A first fragment is remembered; a later one takes the ports and protocol
    // of its first fragment when one matches; a whole packet is left alone.
    // record.timeNs is the capture time.
    void apply(const FragmentFields& fragment, PacketRecord& record);

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    struct Key {
        std::uint32_t identification = 0;
        std::uint8_t family = 0;
        std::uint8_t protocol = 0;
        Ipv6Address source{};  // an IPv4 address in the first four bytes
        Ipv6Address destination{};
        bool operator==(const Key&) const = default;
    };

    struct Entry {
        Key key;
        std::int64_t timeNs = 0;
        std::uint32_t bucket = 0;
        std::uint32_t next = kNone;  // the next entry in the same bucket
        std::uint16_t srcPort = 0;
        std::uint16_t dstPort = 0;
        std::uint8_t protocol = 0;
        bool used = false;
    };

    static Key keyOf(const FragmentFields& fragment, const PacketRecord& record);
    std::uint32_t bucketOf(const Key& key) const;
    Entry* find(const Key& key, std::uint32_t bucket);
    void remember(const Key& key, const PacketRecord& record);
    void unlink(std::uint32_t slot);

    std::size_t m_capacity;
    std::vector<Entry> m_entries;     // a ring in order of first sight; empty until needed
    std::vector<std::uint32_t> m_buckets;  // heads of the bucket chains
    std::uint32_t m_oldest = 0;       // the slot the next new entry takes
    std::uint64_t m_seed = 0;
};

}  // namespace sondrel
