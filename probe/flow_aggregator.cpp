#include "probe/flow_aggregator.h"

#include <algorithm>
#include <cstring>

namespace sondrel::probe {

namespace {

// After a flood, a round's table is given back instead of kept for the next one.
constexpr std::size_t kKeptFlows = 4096;

}  // namespace

std::size_t FlowAggregator::KeyHash::operator()(const Key& key) const {
    std::uint64_t h = 0;
    for (const std::uint64_t word : key.words) {
        h = (h ^ word) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    return std::size_t(h);
}

FlowAggregator::Key FlowAggregator::keyOf(const PacketRecord& record) {
    Key key;
    if (record.family == kFamilyIpv6) {
        std::memcpy(&key.words[0], record.src6.data(), 16);
        std::memcpy(&key.words[2], record.dst6.data(), 16);
    } else {
        key.words[0] = record.srcAddr;
        key.words[2] = record.dstAddr;
    }
    key.words[4] = std::uint64_t(record.srcPort) | std::uint64_t(record.dstPort) << 16 |
                   std::uint64_t(record.protocol & 0xFF) << 32 | std::uint64_t(record.family) << 40;
    key.words[5] = record.interfaceIndex;
    return key;
}

FlowDelta& FlowAggregator::flowOf(const PacketRecord& record) {
    const Key key = keyOf(record);
    if (m_last != kNone && key == m_lastKey) return m_flows[m_last];
    const auto [slot, added] = m_index.try_emplace(key, std::uint32_t(m_flows.size()));
    if (added) {
        FlowDelta& flow = m_flows.emplace_back();
        flow.record = record;
        flow.record.length = 0;
    }
    m_lastKey = key;
    m_last = slot->second;
    return m_flows[m_last];
}

void FlowAggregator::add(const PacketRecord& packet) {
    FlowDelta& flow = flowOf(packet);
    flow.bytes += packet.length;
    ++flow.packets;
}

void FlowAggregator::add(const FlowDelta& delta) {
    m_flows.push_back(delta);
    m_flows.back().record.length = 0;
}

void FlowAggregator::addAlone(const PacketRecord& packet) {
    FlowDelta& flow = m_flows.emplace_back();
    flow.record = packet;
    flow.record.length = 0;
    flow.bytes = packet.length;
    flow.packets = 1;
}

void FlowAggregator::clear() {
    if (m_flows.size() > kKeptFlows) {
        m_index = {};
        m_flows = {};
    } else {
        m_index.clear();
        m_flows.clear();
    }
    m_last = kNone;
}

}  // namespace sondrel::probe
