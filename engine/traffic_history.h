#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/rate_meter.h"

namespace sondrel {

// One second of the traffic graph: the rates as the lists showed them at
// `timeNs`, over the rate window that ended there. The window, not the last
// tick alone: packets reach the tick in batches of up to a second (the
// capture ring's read timeout), so one tick's growth swings between about 0
// and twice the true rate, a sawtooth that is not in the traffic. It also
// keeps the graph's last point equal to the figures in the lists and the
// status line.
struct GraphPoint {
    std::int64_t timeNs = 0;  // on the monotonic clock
    float ul = 0;             // bytes per second
    float dl = 0;
};

// The last ten minutes of traffic at one-second (one-tick) resolution: of
// every application together, and of each application that moved a byte in
// that time. An application keeps its 600 samples (4.8 KB) only while it has
// traffic in the window; ten quiet minutes give them back, since they would
// all read 0. So memory follows what is busy, not how many applications have
// ever been seen: tens of kilobytes on a desktop, 24 MB at the very worst of
// 5,000 applications that all moved bytes within the last ten minutes.
class TrafficHistory {
public:
    static constexpr std::size_t kSamples = 600;

    // After each RateMeter::sample: one point for every application. After
    // the meter restarted (the table was cleared) application indexes name
    // other applications, so their histories go first; the line of every
    // application together goes on across the reset.
    void append(const RateMeter& meter);

    // Oldest first, at most kSamples points, into `out` (its capacity is
    // reused). `app` is a table index; empty: every application together.
    void series(std::optional<std::size_t> app, std::vector<GraphPoint>& out) const;

    std::size_t samples() const { return std::size_t(std::min<std::uint64_t>(m_appended, kSamples)); }
    // Applications whose history is held (had traffic within the window).
    std::size_t retainedApplications() const { return m_retained; }

private:
    struct Rate32 {
        float ul = 0;
        float dl = 0;
    };
    using Ring = std::array<Rate32, kSamples>;
    struct AppHistory {
        std::unique_ptr<Ring> ring;
        std::uint64_t lastActive = 0;  // number of the last sample with traffic
    };

    std::uint64_t m_appended = 0;
    std::uint64_t m_meterRestarts = 0;
    std::array<std::int64_t, kSamples> m_times{};
    Ring m_total{};
    std::vector<AppHistory> m_apps;
    std::size_t m_retained = 0;
};

}  // namespace sondrel
