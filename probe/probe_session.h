#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "base/capture_control.h"
#include "probe/capture/live_capture_handles.h"
#include "probe/bpf/flow_counter.h"
#include "probe/bpf/owner_events.h"
#include "probe/discovery/owner_scan_worker.h"
#include "probe/event_writer.h"

namespace sondrel::probe {

// The helper's work for one window: capture threads on the interface the
// window names, owner discovery, and the forwarding of what both find.
class ProbeSession {
public:
    explicit ProbeSession(std::shared_ptr<EventWriter> writer);

    // Starts owner discovery; its thread keeps only the right to read other
    // users' processes, and raises it for each pass alone. With owner events
    // (eBPF), one pass finds the sockets that existed before, and the events
    // every one after; otherwise passes run every 300 ms and on demand.
    // `eventsMissing` says why there are no events.
    void startDiscovery(std::unique_ptr<BpfOwnerEvents> events, const std::string& eventsMissing);
    // Before startDiscovery: the kernel's flow counter, handed every capture
    // socket; or why there is none, for the window to show.
    void countInKernel(std::unique_ptr<BpfFlowCounter> counter, const std::string& whyNot);
    // Starts the thread that sends queued packets and statistics to the window.
    void startForwarding();
    // Reads commands until the window says goodbye or closes the pipe.
    void run(int commandFd);

    struct Shared;

private:
    void startCapture(const CaptureSet& set);
    void stopCapture();

    std::shared_ptr<Shared> m_shared;
};

}  // namespace sondrel::probe
