#include "ui/history_date.h"

namespace sondrel {

QDate historyDate(HistoryDay day) {
    const CalendarDate date = calendarDateOf(day);
    return QDate(date.year, date.month, date.day);
}

HistoryDay historyDayFromDate(const QDate& date) { return historyDayOf(date.year(), date.month(), date.day()); }

}  // namespace sondrel
