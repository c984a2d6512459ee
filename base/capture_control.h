#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/capture_set.h"
#include "base/packet_queue.h"

namespace sondrel {

// State shared by the capture threads and whoever takes their packets. The
// capture threads run in the capture helper and hold it through a shared_ptr,
// so it outlives the last of them whatever the exit sequence does. In the
// window, CaptureControl names the address to capture on and holds the queue
// that the reader of the helper's pipe fills.
struct CaptureControl {
    PacketQueue queue;
    std::atomic<std::uint32_t> localAddress{0};  // network order, as in a packet
    // Bumped whenever the capture set changes, so runs on an older one end.
    std::atomic<std::uint32_t> setGeneration{0};
    std::atomic<bool> captureRunning{false};
    // Packets the kernel dropped on the capture handle open now (pcap_stats).
    std::atomic<std::uint64_t> packetsDropped{0};
    // When the interface went away (or never was there), wait for the
    // address to come back and capture again instead of ending.
    bool resumeWhenAddressReturns = false;
    // Frames reach the queue within kCapturePromptReadTimeoutMs instead of
    // the read timeout. Owner discovery by /proc asks for a pass when a
    // packet's port has no owner; a request a second late finds a program
    // that lived less than that gone. Set before any capture thread starts.
    bool promptDelivery = false;

    // What to capture. An Address set also stores its address in localAddress,
    // which capture of one interface follows as before; a wider set stores 0
    // there, so such a capture ends and no address of its own counts as local.
    void setCaptureSet(CaptureSet set) {
        const std::scoped_lock guard(m_setLock);
        localAddress.store(set.kind == CaptureSet::Kind::Address ? set.address : 0);
        m_set = std::move(set);
        setGeneration.fetch_add(1);
    }
    CaptureSet captureSet() const {
        const std::scoped_lock guard(m_setLock);
        CaptureSet set = m_set;
        if (set.kind == CaptureSet::Kind::Address) set.address = localAddress.load();
        return set;
    }

private:
    mutable std::mutex m_setLock;
    CaptureSet m_set;
};

// What a capture run tells besides its packets: for the status line and the metrics.
class CaptureObserver {
public:
    virtual ~CaptureObserver() = default;
    virtual void captureOpened(std::uint32_t address, const std::string& deviceName) = 0;
    // The run failed with this message (already shown); it ends, or waits
    // for the address to come back.
    virtual void captureFailed(std::uint32_t address, const std::u16string& message) = 0;
    virtual void captureEnded(std::uint32_t address) = 0;
};

}  // namespace sondrel
