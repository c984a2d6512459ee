#include "tests/support/in_process_sources.h"

#include "base/text.h"
#include "probe/capture/capture_thread.h"
#include "tests/support/owner_discovery.h"

namespace sondrel {

struct InProcessCapture::Observer final : CaptureObserver {
    mutable std::mutex lock;
    CaptureStatus status;

    void captureOpened(std::uint32_t address, const std::string& deviceName) override {
        const std::scoped_lock guard(lock);
        status.interfaceName = utf8ToU16(deviceName);
        status.ipv4Address = address;
        status.capturing = true;
        status.lastError.clear();
    }
    void captureFailed(std::uint32_t address, const std::u16string& message) override {
        const std::scoped_lock guard(lock);
        status.ipv4Address = address;
        status.capturing = false;
        status.lastError = message;
    }
    void captureEnded(std::uint32_t address) override {
        const std::scoped_lock guard(lock);
        if (status.ipv4Address == address) status.capturing = false;
    }
};

InProcessCapture::InProcessCapture(std::shared_ptr<CaptureControl> control, std::shared_ptr<Notifier> notifier,
                                   CaptureLibraryLoader loadLibrary, std::shared_ptr<const OwnerDiscovery> discovery)
    : m_control(std::move(control)), m_notifier(std::move(notifier)),
      m_loadLibrary(loadLibrary ? std::move(loadLibrary) : CaptureLibraryLoader(loadSystemCaptureLibrary)),
      m_handles(std::make_shared<LiveCaptureHandles>()), m_observer(std::make_shared<Observer>()),
      m_discovery(std::move(discovery)) {}

void InProcessCapture::startCapture() {
    startCaptureThread(m_control, m_notifier, m_handles, m_loadLibrary, m_observer);
}

void InProcessCapture::stopCapture() { sondrel::stopCapture(*m_control, *m_handles); }

void InProcessCapture::shutdown() { stopCapture(); }

CaptureStatus InProcessCapture::status() const {
    const std::scoped_lock guard(m_observer->lock);
    CaptureStatus status = m_observer->status;
    status.packetsDropped = m_control->packetsDropped.load();
    if (m_discovery) status.mode = m_discovery->DiscoveryEnabled() ? AttributionMode::ProcPolling : AttributionMode::None;
    return status;
}

MonitorServices::SourceFactory inProcessSources(std::string procRoot, CaptureLibraryLoader loadLibrary) {
    return [procRoot = std::move(procRoot), loadLibrary = std::move(loadLibrary)](
               const std::shared_ptr<CaptureControl>& control, const std::shared_ptr<Notifier>& notifier) {
        auto discovery = std::make_shared<OwnerDiscovery>(procRoot, notifier);
        return MonitorServices::Sources{std::make_shared<InProcessCapture>(control, notifier, loadLibrary, discovery),
                                        discovery};
    };
}

}  // namespace sondrel
