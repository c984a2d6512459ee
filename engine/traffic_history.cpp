#include "engine/traffic_history.h"

#include <algorithm>

namespace sondrel {

void TrafficHistory::append(const RateMeter& meter) {
    if (meter.restarts() != m_meterRestarts) {
        m_meterRestarts = meter.restarts();
        m_apps.clear();
        m_retained = 0;
    }
    const std::size_t slot = std::size_t(m_appended % kSamples);
    ++m_appended;
    m_times[slot] = meter.lastSampleNs();
    const ByteRate total = meter.totalRate();
    m_total[slot] = {float(total.ul), float(total.dl)};

    if (m_apps.size() < meter.applicationCount()) m_apps.resize(meter.applicationCount());
    for (std::size_t i = 0; i < m_apps.size(); ++i) {
        AppHistory& app = m_apps[i];
        const ByteRate rate = meter.applicationRate(i);
        const bool active = rate.ul > 0 || rate.dl > 0;
        if (active) {
            app.lastActive = m_appended;
            if (!app.ring) {
                // Zero before it was first busy: it moved nothing then.
                app.ring = std::make_unique<Ring>();
                ++m_retained;
            }
        }
        if (!app.ring) continue;
        (*app.ring)[slot] = {float(rate.ul), float(rate.dl)};
        if (m_appended - app.lastActive >= kSamples) {
            app.ring.reset();
            --m_retained;
        }
    }
}

void TrafficHistory::series(std::optional<std::size_t> app, std::vector<GraphPoint>& out) const {
    out.clear();
    const std::size_t count = samples();
    const Ring* ring = &m_total;
    if (app) ring = *app < m_apps.size() ? m_apps[*app].ring.get() : nullptr;
    const std::uint64_t first = m_appended - count;
    for (std::uint64_t n = first; n < m_appended; ++n) {
        const std::size_t slot = std::size_t(n % kSamples);
        const Rate32 rate = ring ? (*ring)[slot] : Rate32{};
        out.push_back({m_times[slot], rate.ul, rate.dl});
    }
}

}  // namespace sondrel
