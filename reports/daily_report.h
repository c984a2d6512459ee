#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/clock.h"
#include "engine/main_lists.h"

namespace sondrel {

// reportFolder + "/" + "%d_%02d_%02d" of year, day, month + ".csv"; the date is
// that of the day just begun. No path for an empty folder.
std::optional<std::string> DailyReportPath(const std::u16string& reportFolder, const LocalTime& now);

// What became of one daily report.
struct DailyReportOutcome {
    bool written = false;
    std::string path;  // empty when no report folder is set
    int error = 0;     // errno of the failure
};

// The CSV body into the day's file, through a temporary file renamed into
// place: the file at the day's name is the old one or the complete report.
// A folder that is missing or not writable leaves no file and no list sorted.
DailyReportOutcome WriteDailyReport(MainLists& lists, const std::u16string& reportFolder, const LocalTime& day);

// The message for a failed report, e.g. "Can't write the daily report
// /srv/r/2027_01_02.csv: No space left on device. ..."
std::u16string dailyReportFailureText(const DailyReportOutcome& outcome);

// The midnight test of every tick, before anything is written: true when this
// tick must write the report (and reset); the caller sets dailyDone afterwards.
// Outside the minute 00:00, or with the time unknown, dailyDone is cleared.
bool dailyReportDue(std::int32_t dailyReports, const std::optional<LocalTime>& now, bool& dailyDone);

// When the daily report is written: once in the minute 00:00, and after a
// failed attempt again at each following minute until one succeeds; the file
// keeps the name of the day that began. Daily reports switched off drop a
// pending retry.
class DailyReportSchedule {
public:
    // The day to name the report after when this tick must write one.
    std::optional<LocalTime> due(std::int32_t dailyReports, const std::optional<LocalTime>& now);
    // The outcome of the attempt `due` asked for. True for the first failure
    // after a success (or after the start): the user is told once per streak.
    bool attempted(bool written);

    bool dailyDone() const { return m_dailyDone; }
    bool retryPending() const { return m_pendingDay.has_value(); }

private:
    bool m_dailyDone = false;
    bool m_failing = false;
    std::optional<LocalTime> m_pendingDay;   // the day of a report still to be written
    std::optional<LocalTime> m_attemptedAt;  // the minute of the last attempt
    std::optional<LocalTime> m_dueDay;       // what the attempt under way writes
};

}  // namespace sondrel
