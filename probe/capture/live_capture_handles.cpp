#include "probe/capture/live_capture_handles.h"

namespace sondrel {

LiveCaptureHandles::Registration::Registration(LiveCaptureHandles& registry, pcap_t* handle, BreakLoop breakLoop,
                                               Close close)
    : m_registry(registry), m_handle(handle), m_close(close) {
    const std::scoped_lock guard(m_registry.m_lock);
    m_registry.m_entries.push_back({handle, breakLoop});
}

LiveCaptureHandles::Registration::~Registration() {
    const std::scoped_lock guard(m_registry.m_lock);
    std::erase_if(m_registry.m_entries, [this](const Entry& entry) { return entry.handle == m_handle; });
    m_close(m_handle);
}

void LiveCaptureHandles::wakeAll() {
    const std::scoped_lock guard(m_lock);
    for (const Entry& entry : m_entries) {
        entry.breakLoop(entry.handle);
    }
}

std::size_t LiveCaptureHandles::size() const {
    const std::scoped_lock guard(m_lock);
    return m_entries.size();
}

}  // namespace sondrel
