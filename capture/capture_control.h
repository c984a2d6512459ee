#pragma once

#include <atomic>
#include <cstdint>

#include "capture/packet_queue.h"

namespace sondrel {

// State shared by the UI thread and every capture thread. Capture threads hold
// it through a shared_ptr, so it outlives the last of them whatever the exit
// sequence does.
struct CaptureControl {
    PacketQueue queue;
    std::atomic<std::uint32_t> localAddress{0};  // network order, as in a packet
    std::atomic<bool> captureRunning{false};
};

}  // namespace sondrel
