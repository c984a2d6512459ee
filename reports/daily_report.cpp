#include "reports/daily_report.h"

#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "reports/csv_report.h"
#include "reports/report_writer.h"

namespace sondrel {

namespace {

bool sameMinute(const LocalTime& a, const LocalTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute;
}

}  // namespace

std::optional<std::string> DailyReportPath(const std::u16string& reportFolder, const LocalTime& now) {
    if (reportFolder.empty()) return std::nullopt;
    char name[64];
    std::snprintf(name, sizeof name, "/%d_%02d_%02d.csv", now.year, now.day, now.month);
    return u16ToUtf8(reportFolder) + name;
}

DailyReportOutcome WriteDailyReport(MainLists& lists, const std::u16string& reportFolder, const LocalTime& day) {
    const std::u16string separator = ListSeparator();
    DailyReportOutcome outcome;
    const std::optional<std::string> path = DailyReportPath(reportFolder, day);
    if (!path) return outcome;
    outcome.path = *path;
    ReportWriter writer;
    if (!writer.openReplacing(*path)) {
        outcome.error = writer.error();
        return outcome;
    }
    ReportLines(writer, lists, separator);
    outcome.written = writer.close();
    outcome.error = writer.error();
    return outcome;
}

std::u16string dailyReportFailureText(const DailyReportOutcome& outcome) {
    std::u16string text = u"Can't write the daily report";
    if (outcome.path.empty()) {
        text += u": no report folder is set (Options).";
    } else {
        text += u" " + utf8ToU16(outcome.path) + u": " + utf8ToU16(std::strerror(outcome.error)) + u".";
    }
    return text + u" The statistics are kept, and the report is tried again every minute.";
}

bool dailyReportDue(std::int32_t dailyReports, const std::optional<LocalTime>& now, bool& dailyDone) {
    if (dailyReports == 0) return false;
    if (!now || now->hour != 0 || now->minute != 0) {
        dailyDone = false;
        return false;
    }
    return !dailyDone;
}

std::optional<LocalTime> DailyReportSchedule::due(std::int32_t dailyReports, const std::optional<LocalTime>& now) {
    if (dailyReports == 0) {
        m_pendingDay.reset();
        m_failing = false;
        return std::nullopt;
    }
    if (dailyReportDue(dailyReports, now, m_dailyDone)) {
        // Done for this minute whatever the outcome: a failure is retried from the next minute on.
        m_dailyDone = true;
        m_dueDay = now;
    } else if (m_pendingDay && now && !(m_attemptedAt && sameMinute(*m_attemptedAt, *now))) {
        m_dueDay = m_pendingDay;
    } else {
        return std::nullopt;
    }
    m_attemptedAt = now;
    return m_dueDay;
}

bool DailyReportSchedule::attempted(bool written) {
    if (written) {
        m_pendingDay.reset();
        m_failing = false;
        return false;
    }
    m_pendingDay = m_dueDay;
    const bool firstOfStreak = !m_failing;
    m_failing = true;
    return firstOfStreak;
}

}  // namespace sondrel
