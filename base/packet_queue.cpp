#include "base/packet_queue.h"

#include <algorithm>

namespace sondrel {

void PacketQueue::push(const PacketRecord& record) {
    const std::scoped_lock guard(QueueLock);
    m_records.push_back(record);
}

void PacketQueue::pushAll(std::span<const PacketRecord> records) {
    const std::scoped_lock guard(QueueLock);
    m_records.insert(m_records.end(), records.begin(), records.end());
}

void PacketQueue::pushFlows(std::span<const FlowDelta> flows) {
    constexpr std::uint64_t kMaxLength = 0xFFFFFFFFu;
    const std::scoped_lock guard(QueueLock);
    for (const FlowDelta& flow : flows) {
        std::uint64_t left = flow.bytes;
        do {
            PacketRecord& record = m_records.emplace_back(flow.record);
            record.length = std::uint32_t(std::min(left, kMaxLength));
            left -= record.length;
        } while (left > 0);
    }
}

}  // namespace sondrel
