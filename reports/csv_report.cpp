#include "reports/csv_report.h"

#include <clocale>
#include <cstdint>
#include <iterator>

#include "base/text.h"
#include "engine/list_columns.h"

namespace sondrel {

namespace {

bool needsQuoting(std::u16string_view field, std::u16string_view separator) {
    if (!separator.empty() && field.find(separator) != std::u16string_view::npos) return true;
    return field.find_first_of(u"\"\r\n") != std::u16string_view::npos;
}

// A host name is whatever a remote DNS server answers; quoting keeps a
// separator or line break in it from shifting the columns of the line.
void writeField(ReportWriter& writer, std::u16string_view field, std::u16string_view separator) {
    if (!needsQuoting(field, separator)) {
        writer.write(field);
    } else {
        std::u16string quoted;
        quoted.reserve(field.size() + 4);
        quoted.push_back(u'"');
        for (const char16_t c : field) {
            if (c == u'"') quoted.push_back(u'"');
            quoted.push_back(c);
        }
        quoted.push_back(u'"');
        writer.write(quoted);
    }
    writer.write(separator);
}

std::u16string byteField(std::u16string_view cell) { return decimalU16(std::uint64_t(ParseByteCount(cell))); }

// A program's name is chosen by whoever starts it and a host name by whoever
// answers the reverse look-up; a cell starting like a formula would run as
// one in a spreadsheet, so it is made text with a leading apostrophe.
std::u16string textField(std::u16string_view cell) {
    if (!cell.empty() && std::u16string_view(u"=+-@\t\r").find(cell.front()) != std::u16string_view::npos) {
        return u"'" + std::u16string(cell);
    }
    return std::u16string(cell);
}

}  // namespace

std::u16string listSeparatorFor(std::string_view decimalPoint) { return decimalPoint == "," ? u";" : u","; }

std::u16string ListSeparator() {
    const std::lconv* conventions = std::localeconv();
    if (conventions == nullptr || conventions->decimal_point == nullptr) return listSeparatorFor(".");
    return listSeparatorFor(conventions->decimal_point);
}

void ReportLines(ReportWriter& writer, MainLists& lists, std::u16string_view separator) {
    lists.sortApplications(AppDl);

    constexpr std::u16string_view kHeader[] = {u"Application", u"UL bytes",  u"DL bytes",       u"Local port",
                                               u"Remote Port", u"Remote IP", u"Remote hostname"};
    for (std::size_t i = 0; i < std::size(kHeader); ++i) {
        if (i != 0) writer.write(separator);
        writer.write(kHeader[i]);
    }
    writer.write(u"\n");

    const ReportList& apps = lists.applications();
    const ReportList& details = lists.details();
    for (std::size_t row = 0; row < apps.rowCount(); ++row) {
        const std::u16string name = apps.text(row, AppName);
        lists.SelectApplicationRow(row);
        lists.sortDetails(DetailDl);
        for (std::size_t d = 0; d < details.rowCount(); ++d) {
            writeField(writer, textField(name), separator);
            writeField(writer, byteField(details.text(d, DetailUl)), separator);
            writeField(writer, byteField(details.text(d, DetailDl)), separator);
            writeField(writer, details.text(d, DetailLocalPort), separator);
            writeField(writer, details.text(d, DetailRemotePort), separator);
            writeField(writer, details.text(d, DetailRemoteIp), separator);
            writeField(writer, textField(details.text(d, DetailRemoteHostName)), separator);
            writer.write(u"\n");
        }
    }
}

bool ExportCsvReport(MainLists& lists, const std::string& path) {
    const std::u16string separator = ListSeparator();
    ReportWriter writer;
    if (!writer.open(path)) return false;
    ReportLines(writer, lists, separator);
    return writer.close();
}

}  // namespace sondrel
