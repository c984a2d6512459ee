#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/clock.h"
#include "app/main_lists.h"

namespace sondrel {

// reportFolder + "/" + "%d_%02d_%02d" of year, day, month + ".csv"; the date is
// that of the day just begun. No path for an empty folder.
std::optional<std::string> DailyReportPath(const std::u16string& reportFolder, const LocalTime& now);

// The CSV body into the day's file. A folder that is missing or not writable
// leaves no file and no message.
void WriteDailyReport(MainLists& lists, const std::u16string& reportFolder, const LocalTime& now);

// The midnight test of every tick, before anything is written: true when this
// tick must write the report (and reset); the caller sets dailyDone afterwards.
// Outside the minute 00:00, or with the time unknown, dailyDone is cleared.
bool dailyReportDue(std::int32_t dailyReports, const std::optional<LocalTime>& now, bool& dailyDone);

}  // namespace sondrel
