#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "base/flow_delta.h"
#include "base/packet_record.h"

namespace sondrel::probe {

// Sums the packets of one forwarding round by flow: addresses, ports,
// protocol, family and interface. The window is sent one record per flow
// instead of one per packet; a flow's time is that of its first packet in
// the round, when its owner is looked up. Used by the forwarding thread only.
class FlowAggregator {
public:
    void add(const PacketRecord& packet);
    // Traffic the kernel already summed, an entry of its own: the kernel
    // keeps a UDP port's successive programs apart, each dated by its first
    // packet, where joining them would date the next one's by the last one's.
    void add(const FlowDelta& delta);
    // A packet that must reach the window on its own (a packet socket's frame
    // is matched to its write by length).
    void addAlone(const PacketRecord& packet);

    // In the order each flow was first seen this round.
    std::vector<FlowDelta>& flows() { return m_flows; }
    // Starts the next round.
    void clear();

private:
    struct Key {
        std::uint64_t words[6] = {};  // addresses; ports, protocol and family; interface
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const;
    };
    static Key keyOf(const PacketRecord& record);
    FlowDelta& flowOf(const PacketRecord& record);

    std::unordered_map<Key, std::uint32_t, KeyHash> m_index;
    std::vector<FlowDelta> m_flows;
    // Packets come in trains: the previous packet's flow is tried first.
    Key m_lastKey;
    std::uint32_t m_last = kNone;
    static constexpr std::uint32_t kNone = ~std::uint32_t(0);
};

}  // namespace sondrel::probe
