#pragma once

#include <vector>

#include "engine/capture_status.h"
#include "base/packet_record.h"

namespace sondrel {

// Where the window's packets come from: the capture helper, or a capture
// thread in this process (the tests' stand-in libraries). Either way the
// records reach the capture control's queue, and capture follows its
// localAddress.
class PacketSource {
public:
    virtual ~PacketSource() = default;
    // Capture on the interface that carries localAddress (captureRunning is set).
    virtual void startCapture() = 0;
    // The capture under way ends (captureRunning cleared, or localAddress
    // about to change); records already on their way may still arrive.
    virtual void stopCapture() = 0;
    // The program ends: nothing of this source goes on.
    virtual void shutdown() = 0;
    // What is captured and how it goes (the attribution mode is the owner side's).
    virtual CaptureStatus status() const = 0;
    // The IPv6 addresses of the captured interface, which count as local.
    virtual std::vector<Ipv6Address> localIpv6Addresses() const { return {}; }
};

}  // namespace sondrel
