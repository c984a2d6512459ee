#pragma once

#include <string>

#include "base/clock.h"
#include "engine/main_lists.h"
#include "reports/report_writer.h"

namespace sondrel {

// The page of "Export as HTML...": one table row per Applications row, in the
// order the list shows, each with the endpoints of its Details fill. Selects
// every application in turn, so the last one stays selected afterwards.
void WriteHtmlReport(ReportWriter& writer, MainLists& lists, const LocalTime& now);

// Opens `path` and writes the page; false when the file cannot be created
// (nothing is written and the lists are untouched) or when not all of it
// reached the file (a full disk).
bool ExportHtmlReport(MainLists& lists, const std::string& path, const LocalTime& now);

// "%d:%02d:%02d %02d:%02d:%02d" of year, day, month, hour, minute, second.
std::u16string htmlTimestamp(const LocalTime& now);

}  // namespace sondrel
