#include "base/packet_queue.h"

namespace sondrel {

void PacketQueue::push(const PacketRecord& record) {
    const std::scoped_lock guard(QueueLock);
    m_records.push_back(record);
}

void PacketQueue::pushAll(std::span<const PacketRecord> records) {
    const std::scoped_lock guard(QueueLock);
    m_records.insert(m_records.end(), records.begin(), records.end());
}

}  // namespace sondrel
