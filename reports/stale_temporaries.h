#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sondrel {

// A daily report's temporary file as ReportWriter::openReplacing names it
// beside the report: "." + "%d_%02d_%02d.csv" + "." + six letters or digits,
// e.g. ".2027_01_02.csv.Xa9QzT". Nothing else, so no file of the user's that
// merely looks alike is ever taken for one.
bool isDailyReportTemporaryName(std::string_view name);

// Temporary files that a run killed while writing a daily report left in
// `folder`, removed: only those named as above, regular files of this user,
// not modified in the last minute (another instance may be writing one now).
// Links are never followed and never removed. Returns how many went; a folder
// that cannot be read removes nothing.
std::size_t removeStaleReportTemporaries(const std::string& folder);

}  // namespace sondrel
