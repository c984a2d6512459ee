#pragma once

#include <QDate>

#include "history/history_view.h"

namespace sondrel {

// The calendar date of a HistoryDay, and back; both count from 1970-01-01.
QDate historyDate(HistoryDay day);
HistoryDay historyDayFromDate(const QDate& date);

}  // namespace sondrel
