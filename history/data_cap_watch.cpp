#include "history/data_cap_watch.h"

#include <optional>
#include <string>

namespace sondrel {

void DataCapWatch::setCaps(std::vector<DataCap> caps) {
    // A cap kept across an edit keeps what it already told.
    std::vector<Armed> armed(caps.size());
    for (std::size_t i = 0; i < caps.size(); ++i) {
        for (std::size_t j = 0; j < m_caps.size(); ++j) {
            if (m_caps[j] == caps[i]) armed[i] = m_armed[j];
        }
    }
    m_caps = std::move(caps);
    m_armed = std::move(armed);
    m_uses.clear();
}

std::vector<DataCapCrossing> DataCapWatch::update(const HistoryView& view, HistoryDay today) {
    std::vector<DataCapCrossing> crossings;
    m_uses.clear();
    const CalendarDate date = calendarDateOf(today);
    const HistoryDay monthStart = historyDayOf(date.year, date.month, 1);
    for (std::size_t i = 0; i < m_caps.size(); ++i) {
        const DataCap& cap = m_caps[i];
        const bool daily = cap.period == DataCap::Period::Day;
        const HistoryRange range{daily ? today : monthStart, today};
        std::optional<std::u16string> application;
        if (!cap.application.empty()) application = cap.application;
        std::uint64_t used = 0;
        for (const DayTotal& day : view.days(range, application)) used += day.ulBytes + day.dlBytes;
        m_uses.push_back({cap, used, cap.limitBytes ? double(used) / double(cap.limitBytes) : 0.0});

        Armed& armed = m_armed[i];
        const std::int64_t period = daily ? today : std::int64_t(date.year) * 12 + date.month;
        if (armed.period != period) armed = {period, 0};
        // In integers, without overflow: limit - floor(limit / 5) is the least count at or above 80 %.
        int level = 0;
        if (used >= cap.limitBytes) level = 100;
        else if (used >= cap.limitBytes - cap.limitBytes / 5) level = 80;
        if (level > armed.told) {
            crossings.push_back({cap, level, used});
            armed.told = level;
        }
    }
    return crossings;
}

}  // namespace sondrel
