#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/records.h"

namespace sondrel {

// Bytes per second in each direction.
struct ByteRate {
    double ul = 0;
    double dl = 0;
    bool operator==(const ByteRate&) const = default;
};

// "12 KB/s": the byte notation of FormatByteCount, truncated like it, with "/s".
std::u16string FormatByteRate(double bytesPerSecond);

// Rates of every application and endpoint row, from their byte totals as
// they stood at the last few ticks. The records themselves hold totals only;
// this keeps a short history beside them, keyed by the record's place in the
// table (application index; endpoint index within its application), which
// stays valid until the table is cleared.
//
// A rate is the growth of a total over the last kWindowTicks ticks divided by
// the time those ticks really took on the monotonic clock, so a late tick
// neither inflates nor deflates it. Three ticks: one tick's growth follows
// the capture path's batching (the ring's read timeout, a drain that runs a
// little early or late), which makes a one-tick rate flicker; three smooth
// that while a transfer that stops still reads 0 within three seconds.
//
// A row that appears inside the window is measured over the whole window,
// with the totals it had before it appeared taken as 0, which is what they
// were: no packet of it had been counted. So a new row reads like an old idle
// one doing the same thing, and sorting by rate does not favour newcomers.
// After a restart (the statistics were reset) the window begins at the
// restart, with every total 0 there.
class RateMeter {
public:
    static constexpr std::size_t kWindowTicks = 3;

    explicit RateMeter(std::int64_t startNs);

    // The table was emptied at `nowNs` (the caller holds RecordsLock): every
    // history starts again there.
    void restart(const AppTable& table, std::int64_t nowNs);
    // One tick: takes the totals of every application and endpoint of the
    // table (the caller holds RecordsLock). A table cleared without restart()
    // is noticed by its generation and restarts the history at `nowNs`.
    void sample(const AppTable& table, std::int64_t nowNs);

    // Over the window; 0 for rows not sampled yet.
    ByteRate applicationRate(std::size_t app) const { return windowRate(appRow(app)); }
    ByteRate endpointRate(std::size_t app, std::size_t endpoint) const { return windowRate(endpointRow(app, endpoint)); }
    // Every application together.
    ByteRate totalRate() const { return windowRate(&m_total); }

    std::size_t applicationCount() const { return m_apps.size(); }
    // Time of the last sample (or restart).
    std::int64_t lastSampleNs() const { return m_times[m_tick % kSlots]; }
    // Ticks sampled since the start or the last restart.
    std::uint64_t ticks() const { return m_tick; }
    // Counts restarts: a change means application indexes name other applications now.
    std::uint64_t restarts() const { return m_restarts; }

private:
    static constexpr std::size_t kSlots = kWindowTicks + 1;

    struct Totals {
        std::uint64_t ul = 0;
        std::uint64_t dl = 0;
    };
    // Totals of one row at the last kSlots ticks, by tick number modulo kSlots.
    struct Row {
        std::uint64_t firstTick = 0;
        std::array<Totals, kSlots> at{};
        void set(std::uint64_t tick, std::uint64_t ul, std::uint64_t dl);
        Totals atTick(std::uint64_t tick) const { return tick < firstTick ? Totals{} : at[tick % kSlots]; }
    };

    const Row* appRow(std::size_t app) const { return app < m_apps.size() ? &m_apps[app] : nullptr; }
    const Row* endpointRow(std::size_t app, std::size_t endpoint) const;
    ByteRate windowRate(const Row* row) const;
    void restartAt(std::uint64_t generation, std::int64_t nowNs);

    // Tick 0 is the start or the restart, where every total is 0.
    std::uint64_t m_tick = 0;
    std::array<std::int64_t, kSlots> m_times{};
    std::uint64_t m_generation = 0;
    std::uint64_t m_restarts = 0;
    std::vector<Row> m_apps;
    std::vector<std::vector<Row>> m_endpoints;
    Row m_total;
};

}  // namespace sondrel
