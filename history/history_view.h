#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sondrel {

// A calendar day of local time, as days since 1970-01-01: the day the bytes
// were counted on.
using HistoryDay = std::int32_t;

HistoryDay historyDayOf(int year, int month, int day);
// {year, month, day} of a HistoryDay.
struct CalendarDate {
    int year = 0;
    int month = 0;
    int day = 0;
};
CalendarDate calendarDateOf(HistoryDay day);

// Both days included.
struct HistoryRange {
    HistoryDay first = 0;
    HistoryDay last = 0;
};

struct ApplicationTotal {
    std::u16string name;
    std::uint64_t ulBytes = 0;
    std::uint64_t dlBytes = 0;
};

// One remote host of one application over a range: its address text ("other"
// for the row that gathers endpoints beyond the live table's bound) and the
// last host name it was known by (empty when none).
struct EndpointTotal {
    std::u16string remote;
    std::u16string hostName;
    std::uint64_t ulBytes = 0;
    std::uint64_t dlBytes = 0;
};

struct DayTotal {
    HistoryDay day = 0;
    std::uint64_t ulBytes = 0;
    std::uint64_t dlBytes = 0;
};

// What the History window and `--history` read. Results include what was
// counted but not yet written to disk, so a view never lags the live lists.
class HistoryView {
public:
    virtual ~HistoryView() = default;
    // Sorted by total (UL + DL) descending, then name.
    virtual std::vector<ApplicationTotal> applications(const HistoryRange& range) const = 0;
    // Sorted by total descending, then remote.
    virtual std::vector<EndpointTotal> endpoints(const HistoryRange& range, const std::u16string& application) const = 0;
    // One entry per day of the range that has bytes, in day order; all
    // applications, or only `application`.
    virtual std::vector<DayTotal> days(const HistoryRange& range,
                                       const std::optional<std::u16string>& application = std::nullopt) const = 0;
};

}  // namespace sondrel
