#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <mutex>
#include <vector>

namespace sondrel {

// The capture handles that capture threads have open, so the UI thread can
// wake them. On Linux the read timeout starts only with the first packet, so
// pcap_dispatch on an idle interface would otherwise never return and a
// stopped thread would never notice its flags. A handle is closed only by its
// own thread and only under this registry's lock, so wakeAll() never touches
// a closed handle.
class LiveCaptureHandles {
public:
    using BreakLoop = void (*)(pcap_t*);
    using Close = void (*)(pcap_t*);

    // Owns one open handle: registered on creation, closed and unregistered
    // on destruction.
    class Registration {
    public:
        Registration(LiveCaptureHandles& registry, pcap_t* handle, BreakLoop breakLoop, Close close);
        ~Registration();
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;

        pcap_t* handle() const { return m_handle; }

    private:
        LiveCaptureHandles& m_registry;
        pcap_t* m_handle;
        Close m_close;
    };

    // Makes every registered handle's current or next pcap_dispatch return
    // (pcap_breakloop is sticky until a dispatch call consumes it).
    void wakeAll();

    std::size_t size() const;

private:
    struct Entry {
        pcap_t* handle;
        BreakLoop breakLoop;
    };

    mutable std::mutex m_lock;
    std::vector<Entry> m_entries;
};

}  // namespace sondrel
