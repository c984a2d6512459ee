#pragma once

#include <memory>
#include <mutex>

#include "engine/monitor.h"
#include "engine/packet_source.h"
#include "base/notifier.h"
#include "base/capture_control.h"
#include "probe/capture/live_capture_handles.h"
#include "probe/capture/pcap_library.h"

namespace sondrel {

class OwnerDiscovery;

// Capture threads in the window's own process. The program itself never
// runs this way (capture needs privileges only the helper holds); tests hand
// it stand-in capture libraries.
class InProcessCapture final : public PacketSource {
public:
    InProcessCapture(std::shared_ptr<CaptureControl> control, std::shared_ptr<Notifier> notifier,
                     CaptureLibraryLoader loadLibrary, std::shared_ptr<const OwnerDiscovery> discovery = nullptr);

    void startCapture() override;
    void stopCapture() override;
    void shutdown() override;
    CaptureStatus status() const override;

    const std::shared_ptr<LiveCaptureHandles>& handles() const { return m_handles; }

    struct Observer;

private:
    std::shared_ptr<CaptureControl> m_control;
    std::shared_ptr<Notifier> m_notifier;
    CaptureLibraryLoader m_loadLibrary;
    std::shared_ptr<LiveCaptureHandles> m_handles;
    std::shared_ptr<Observer> m_observer;
    std::shared_ptr<const OwnerDiscovery> m_discovery;
};

// Capture threads (with this library; empty: the system's libpcap) and
// owner discovery (under this proc root) in the window's own process.
MonitorServices::SourceFactory inProcessSources(std::string procRoot = "/proc", CaptureLibraryLoader loadLibrary = {});

}  // namespace sondrel
