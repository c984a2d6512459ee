#include "history/history_text.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "base/text.h"
#include "engine/main_lists.h"

namespace sondrel {

namespace {

std::string shareText(std::uint64_t part, std::uint64_t whole) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", whole ? 100.0 * double(part) / double(whole) : 0.0);
    return text;
}

std::uint64_t sumOf(const std::vector<ApplicationTotal>& totals) {
    std::uint64_t sum = 0;
    for (const ApplicationTotal& total : totals) sum += total.ulBytes + total.dlBytes;
    return sum;
}

// Code points, which is how wide most names print in a terminal.
std::size_t widthOf(std::string_view utf8) {
    return std::size_t(std::count_if(utf8.begin(), utf8.end(), [](char c) { return (std::uint8_t(c) & 0xC0) != 0x80; }));
}

void pad(std::string& line, std::string_view cell, std::size_t width, bool right) {
    const std::string spaces(width - std::min(width, widthOf(cell)), ' ');
    if (right) line += spaces;
    line += cell;
    if (!right) line += spaces;
}

// The rows' names are visible already; a file written before they were is
// not, and the table and the CSV go to terminals. JSON escapes on its own.
std::string shownName(const std::u16string& name) { return u16ToUtf8(visibleText(name)); }

std::string csvField(const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string quoted = "\"";
    for (const char c : field) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string jsonString(std::string_view utf8) {
    std::string out = "\"";
    for (const char c : utf8) {
        const auto byte = std::uint8_t(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(byte));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::optional<int> digits(std::string_view text) {
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::optional<HistoryFormat> parseHistoryFormat(std::string_view text) {
    if (text == "table") return HistoryFormat::Table;
    if (text == "csv") return HistoryFormat::Csv;
    if (text == "json") return HistoryFormat::Json;
    return std::nullopt;
}

std::optional<HistoryDay> parseHistoryDate(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
    const auto year = digits(text.substr(0, 4));
    const auto month = digits(text.substr(5, 2));
    const auto day = digits(text.substr(8, 2));
    if (!year || !month || !day || *year < 1 || *month < 1 || *month > 12 || *day < 1) return std::nullopt;
    static constexpr std::array<int, 12> kDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (*year % 4 == 0 && *year % 100 != 0) || *year % 400 == 0;
    const int last = kDays[std::size_t(*month - 1)] + (*month == 2 && leap ? 1 : 0);
    if (*day > last) return std::nullopt;
    return historyDayOf(*year, *month, *day);
}

std::string historyTable(const std::vector<ApplicationTotal>& totals) {
    const std::uint64_t sum = sumOf(totals);
    using Row = std::array<std::string, 5>;
    std::vector<Row> rows{{"Application", "UL", "DL", "Total", "Share"}};
    for (const ApplicationTotal& total : totals) {
        const std::uint64_t bytes = total.ulBytes + total.dlBytes;
        rows.push_back({shownName(total.name), u16ToUtf8(FormatByteCount(total.ulBytes)),
                        u16ToUtf8(FormatByteCount(total.dlBytes)), u16ToUtf8(FormatByteCount(bytes)),
                        shareText(bytes, sum) + " %"});
    }
    std::array<std::size_t, 5> widths{};
    for (const Row& row : rows) {
        for (std::size_t column = 0; column < widths.size(); ++column)
            widths[column] = std::max(widths[column], widthOf(row[column]));
    }
    std::string text;
    for (const Row& row : rows) {
        std::string line;
        for (std::size_t column = 0; column < widths.size(); ++column) {
            if (column > 0) line += "  ";
            pad(line, row[column], widths[column], column > 0);
        }
        text += line + "\n";
    }
    return text;
}

std::string historyCsv(const std::vector<ApplicationTotal>& totals) {
    const std::uint64_t sum = sumOf(totals);
    std::string text = "Application,UL bytes,DL bytes,Total bytes,Share\n";
    for (const ApplicationTotal& total : totals) {
        const std::uint64_t bytes = total.ulBytes + total.dlBytes;
        text += csvField(shownName(total.name)) + "," + std::to_string(total.ulBytes) + "," +
                std::to_string(total.dlBytes) + "," + std::to_string(bytes) + "," + shareText(bytes, sum) + "\n";
    }
    return text;
}

std::string historyJson(const std::vector<ApplicationTotal>& totals) {
    if (totals.empty()) return "[]\n";
    std::string text = "[\n";
    for (std::size_t i = 0; i < totals.size(); ++i) {
        const ApplicationTotal& total = totals[i];
        text += "  {\"name\": " + jsonString(u16ToUtf8(total.name)) + ", \"ul_bytes\": " + std::to_string(total.ulBytes) +
                ", \"dl_bytes\": " + std::to_string(total.dlBytes) +
                ", \"total_bytes\": " + std::to_string(total.ulBytes + total.dlBytes) + "}";
        text += i + 1 < totals.size() ? ",\n" : "\n";
    }
    return text + "]\n";
}

int printHistory(const HistoryView& view, HistoryRange range, HistoryFormat format, std::ostream& out) {
    if (range.first > range.last) return 2;
    const std::vector<ApplicationTotal> totals = view.applications(range);
    switch (format) {
    case HistoryFormat::Table: out << historyTable(totals); break;
    case HistoryFormat::Csv: out << historyCsv(totals); break;
    case HistoryFormat::Json: out << historyJson(totals); break;
    }
    out.flush();
    return out ? 0 : 1;
}

}  // namespace sondrel
