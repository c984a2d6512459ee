#include "ui/history_date.h"

namespace sondrel {

namespace {

const QDate kEpoch(1970, 1, 1);

}  // namespace

QDate historyDate(HistoryDay day) { return kEpoch.addDays(day); }

HistoryDay historyDayFromDate(const QDate& date) { return HistoryDay(kEpoch.daysTo(date)); }

}  // namespace sondrel
