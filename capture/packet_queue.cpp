#include "capture/packet_queue.h"

namespace sondrel {

void PacketQueue::push(const PacketRecord& record) {
    const std::scoped_lock guard(QueueLock);
    m_records.push_back(record);
}

}  // namespace sondrel
