#include <chrono>

#include "history/history_view.h"

namespace sondrel {

HistoryDay historyDayOf(int year, int month, int day) {
    const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(unsigned(month)),
                                           std::chrono::day(unsigned(day))};
    return HistoryDay(std::chrono::sys_days(date).time_since_epoch().count());
}

CalendarDate calendarDateOf(HistoryDay day) {
    const std::chrono::year_month_day date{std::chrono::sys_days(std::chrono::days(day))};
    return {int(date.year()), int(unsigned(date.month())), int(unsigned(date.day()))};
}

}  // namespace sondrel
