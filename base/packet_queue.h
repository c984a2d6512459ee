#pragma once

#include <deque>
#include <mutex>
#include <span>

#include "base/flow_delta.h"
#include "base/packet_record.h"

namespace sondrel {

// Decoded packets on their way to be counted. In the helper its capture
// threads fill the queue and the forwarding thread empties it into the pipe; in
// the window the helper's reader fills it and the UI thread drains it. QueueLock
// is public because the drain, the reset and the daily report hold it across
// work of their own (lock order: QueueLock, then OwnerMapLock, then RecordsLock).
class PacketQueue {
public:
    std::mutex QueueLock;

    // Capture side: takes QueueLock for the copy of one record.
    void push(const PacketRecord& record);
    // The same for a batch, under one QueueLock.
    void pushAll(std::span<const PacketRecord> records);
    // Flows as records whose length is their bytes (in several records when
    // beyond what a length holds), under one QueueLock.
    void pushFlows(std::span<const FlowDelta> flows);

    // The callers below must hold QueueLock.
    std::deque<PacketRecord>& records() { return m_records; }
    void clear() { m_records.clear(); }

private:
    std::deque<PacketRecord> m_records;
};

}  // namespace sondrel
