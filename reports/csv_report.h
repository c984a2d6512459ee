#pragma once

#include <string>
#include <string_view>

#include "engine/main_lists.h"
#include "reports/report_writer.h"

namespace sondrel {

// Linux has no regional list separator; a spreadsheet in a locale that writes
// decimals with a comma splits on ";", every other one on ",".
std::u16string ListSeparator();
// The choice of ListSeparator for a given LC_NUMERIC decimal point.
std::u16string listSeparatorFor(std::string_view decimalPoint);

// The CSV body shared by the export and the daily report: sorts both lists by
// DL (SortState ends at 2), then writes the header line and one line per
// endpoint, byte counts as plain numbers of bytes. An Application or Remote
// hostname cell that starts with "=", "+", "-", "@", TAB or CR gets a leading
// "'" so that no spreadsheet reads it as a formula.
void ReportLines(ReportWriter& writer, MainLists& lists, std::u16string_view separator);

// Opens `path` and writes the CSV body with ListSeparator(); false when the file
// cannot be created (nothing is written and no list is sorted) or when not all
// of it reached the file (a full disk).
bool ExportCsvReport(MainLists& lists, const std::string& path);

}  // namespace sondrel
