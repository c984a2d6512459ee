#include "reports/daily_report.h"

#include <cstdio>

#include "base/text.h"
#include "reports/csv_report.h"
#include "reports/report_writer.h"

namespace sondrel {

std::optional<std::string> DailyReportPath(const std::u16string& reportFolder, const LocalTime& now) {
    if (reportFolder.empty()) return std::nullopt;
    char name[64];
    std::snprintf(name, sizeof name, "/%d_%02d_%02d.csv", now.year, now.day, now.month);
    return u16ToUtf8(reportFolder) + name;
}

void WriteDailyReport(MainLists& lists, const std::u16string& reportFolder, const LocalTime& now) {
    const std::u16string separator = ListSeparator();
    const std::optional<std::string> path = DailyReportPath(reportFolder, now);
    if (!path) return;
    ReportWriter writer;
    if (!writer.open(*path)) return;
    ReportLines(writer, lists, separator);
    writer.close();
}

bool dailyReportDue(std::int32_t dailyReports, const std::optional<LocalTime>& now, bool& dailyDone) {
    if (dailyReports == 0) return false;
    if (!now || now->hour != 0 || now->minute != 0) {
        dailyDone = false;
        return false;
    }
    return !dailyDone;
}

}  // namespace sondrel
