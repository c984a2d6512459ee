#include "engine/rate_meter.h"

#include <algorithm>

#include "engine/main_lists.h"

namespace sondrel {

std::u16string FormatByteRate(double bytesPerSecond) {
    // A negative or NaN rate cannot come out of growing totals; should one
    // ever be handed in, it reads as nothing moving rather than as 16 EB/s.
    const std::uint64_t whole = bytesPerSecond >= 1.8e19 ? ~std::uint64_t(0)
                                : bytesPerSecond >= 1   ? std::uint64_t(bytesPerSecond)
                                                        : 0;
    return FormatByteCount(whole) + u"/s";
}

void RateMeter::Row::set(std::uint64_t tick, std::uint64_t ul, std::uint64_t dl) { at[tick % kSlots] = {ul, dl}; }

RateMeter::RateMeter(std::int64_t startNs) { restartAt(0, startNs); }

void RateMeter::restart(const AppTable& table, std::int64_t nowNs) { restartAt(table.generation(), nowNs); }

void RateMeter::restartAt(std::uint64_t generation, std::int64_t nowNs) {
    ++m_restarts;
    m_generation = generation;
    m_tick = 0;
    m_times.fill(nowNs);
    m_apps.clear();
    m_endpoints.clear();
    m_total = Row{};
    m_total.firstTick = 1;
}

void RateMeter::sample(const AppTable& table, std::int64_t nowNs) {
    if (table.generation() != m_generation) restartAt(table.generation(), nowNs);
    ++m_tick;
    // A clock that stood still (or a fake that went back) gives an empty
    // interval, never a negative one.
    m_times[m_tick % kSlots] = std::max(nowNs, m_times[(m_tick - 1) % kSlots]);

    const auto& records = table.records();
    if (const std::size_t known = m_apps.size(); known < records.size()) {
        m_apps.resize(records.size());
        m_endpoints.resize(records.size());
        for (std::size_t i = known; i < records.size(); ++i) m_apps[i].firstTick = m_tick;
    }
    std::uint64_t ulSum = 0;
    std::uint64_t dlSum = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const AppRecord& app = records[i];
        m_apps[i].set(m_tick, app.ulBytes, app.dlBytes);
        ulSum += app.ulBytes;
        dlSum += app.dlBytes;
        std::vector<Row>& rows = m_endpoints[i];
        const std::size_t known = rows.size();
        if (known < app.endpoints.size()) {
            rows.resize(app.endpoints.size());
            for (std::size_t j = known; j < rows.size(); ++j) rows[j].firstTick = m_tick;
        }
        for (std::size_t j = 0; j < app.endpoints.size(); ++j)
            rows[j].set(m_tick, app.endpoints[j].ulBytes, app.endpoints[j].dlBytes);
    }
    m_total.set(m_tick, ulSum, dlSum);
}

const RateMeter::Row* RateMeter::endpointRow(std::size_t app, std::size_t endpoint) const {
    if (app >= m_endpoints.size() || endpoint >= m_endpoints[app].size()) return nullptr;
    return &m_endpoints[app][endpoint];
}

ByteRate RateMeter::windowRate(const Row* row) const {
    if (row == nullptr || m_tick == 0) return {};
    const std::uint64_t from = m_tick > kWindowTicks ? m_tick - kWindowTicks : 0;
    const std::int64_t elapsedNs = m_times[m_tick % kSlots] - m_times[from % kSlots];
    if (elapsedNs <= 0) return {};
    const Totals now = row->atTick(m_tick);
    const Totals before = row->atTick(from);
    // Totals only grow between restarts; a smaller one would be a table
    // rebuilt behind our back, which reads as no traffic, not as 2^64 bytes.
    const auto growth = [](std::uint64_t a, std::uint64_t b) { return a >= b ? double(a - b) : 0.0; };
    const double seconds = double(elapsedNs) / 1e9;
    return {growth(now.ul, before.ul) / seconds, growth(now.dl, before.dl) / seconds};
}

}  // namespace sondrel
