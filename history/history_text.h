#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "history/history_view.h"

namespace sondrel {

enum class HistoryFormat : std::uint8_t { Table, Csv, Json };

// "table", "csv" or "json".
std::optional<HistoryFormat> parseHistoryFormat(std::string_view text);
// "2027-01-31": four-digit year from 0001, month and day within the calendar; nothing else.
std::optional<HistoryDay> parseHistoryDate(std::string_view text);

// UTF-8 text of the totals, in their order. The share is of the totals' sum.
// Table: aligned columns, byte counts as the lists show them ("12 MB").
std::string historyTable(const std::vector<ApplicationTotal>& totals);
// CSV: exact byte counts, the share with one decimal; fields quoted as RFC 4180 says.
std::string historyCsv(const std::vector<ApplicationTotal>& totals);
// JSON: an array of {"name", "ul_bytes", "dl_bytes", "total_bytes"}.
std::string historyJson(const std::vector<ApplicationTotal>& totals);

// `--history`: the applications of `range` in `format`. 0 when written, 1 when
// the stream failed, 2 when the range ends before it begins (nothing written).
int printHistory(const HistoryView& view, HistoryRange range, HistoryFormat format, std::ostream& out);

}  // namespace sondrel
