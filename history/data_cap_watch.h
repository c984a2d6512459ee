#pragma once

#include <cstdint>
#include <vector>

#include "config/data_caps.h"
#include "history/history_view.h"

namespace sondrel {

// How far one cap is used in its current period.
struct DataCapUse {
    DataCap cap;
    std::uint64_t usedBytes = 0;
    double ratio = 0;  // usedBytes / limitBytes: the value of sondrel_data_cap_ratio
};

// A cap's use crossing 80 % or 100 % of its limit.
struct DataCapCrossing {
    DataCap cap;
    int percent = 0;  // 80 or 100
    std::uint64_t usedBytes = 0;
};

// Watches the caps against the history (which includes what is not yet
// written). Each cap tells of each threshold once per day or month; a new
// period starts it over. A use that passes both at once tells of 100 % only.
class DataCapWatch {
public:
    void setCaps(std::vector<DataCap> caps);
    // The crossings since the last update, for the tray or the log.
    std::vector<DataCapCrossing> update(const HistoryView& view, HistoryDay today);
    // Of the last update, one per cap in the caps' order.
    const std::vector<DataCapUse>& uses() const { return m_uses; }

private:
    struct Armed {
        std::int64_t period = -1;  // the day, or year * 12 + month, the levels below belong to
        int told = 0;              // the highest threshold told of in that period
    };
    std::vector<DataCap> m_caps;
    std::vector<Armed> m_armed;
    std::vector<DataCapUse> m_uses;
};

}  // namespace sondrel
