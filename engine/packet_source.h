#pragma once

#include <vector>

#include "engine/capture_status.h"
#include "base/captured_interfaces.h"
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
    // The interfaces captured now, with the addresses that count as local.
    virtual CapturedInterfaces capturedInterfaces() const { return {}; }
};

}  // namespace sondrel
