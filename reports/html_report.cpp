#include "reports/html_report.h"

#include <cstdio>
#include <string_view>

#include "base/text.h"
#include "engine/list_columns.h"

namespace sondrel {

namespace {

std::u16string_view entityFor(char16_t c) {
    switch (c) {
    case u'&': return u"&amp;";
    case u'<': return u"&lt;";
    case u'>': return u"&gt;";
    case u'"': return u"&quot;";
    case u'\'': return u"&#39;";
    default: return {};
    }
}

// List texts are process paths and reverse-DNS answers, which anyone on the
// network can choose; unescaped they would put markup into the user's browser.
void writeText(ReportWriter& writer, std::u16string_view text) {
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::u16string_view entity = entityFor(text[i]);
        if (entity.empty()) continue;
        writer.write(text.substr(runStart, i - runStart));
        writer.write(entity);
        runStart = i + 1;
    }
    writer.write(text.substr(runStart));
}

void writeApplication(ReportWriter& writer, MainLists& lists, std::size_t row) {
    const ReportList& apps = lists.applications();
    const std::u16string name = apps.text(row, AppName);
    const std::u16string ul = apps.text(row, AppUl);
    const std::u16string dl = apps.text(row, AppDl);
    lists.SelectApplicationRow(row);
    const ReportList& details = lists.details();

    writer.write(u"<tr><td >");
    writeText(writer, name);
    writer.write(u"<br><br> Network activity:<br><br>");
    for (std::size_t d = 0; d < details.rowCount(); ++d) {
        writer.write(u"Local port: ");
        writeText(writer, details.text(d, DetailLocalPort));
        writer.write(u"/ Remote port: ");
        writeText(writer, details.text(d, DetailRemotePort));
        writer.write(u"<br>");
    }
    writer.write(u"</td><td width='200'>");
    writeText(writer, ul);
    writer.write(u" / ");
    writeText(writer, dl);
    writer.write(u"<br><br><br><br>");
    for (std::size_t d = 0; d < details.rowCount(); ++d) {
        writeText(writer, details.text(d, DetailUl));
        writer.write(u" / ");
        writeText(writer, details.text(d, DetailDl));
        writer.write(u"<br>");
    }
    writer.write(u"</td><td><br><br><br><br>");
    for (std::size_t d = 0; d < details.rowCount(); ++d) {
        writeText(writer, details.text(d, DetailRemoteIp));
        writer.write(u"<br>");
    }
    writer.write(u"</td><td><br><br><br><br>");
    for (std::size_t d = 0; d < details.rowCount(); ++d) {
        writeText(writer, details.text(d, DetailRemoteHostName));
        writer.write(u"<br>");
    }
    writer.write(u"</td></tr>");
}

}  // namespace

std::u16string htmlTimestamp(const LocalTime& now) {
    char text[80];
    std::snprintf(text, sizeof text, "%d:%02d:%02d %02d:%02d:%02d", now.year, now.day, now.month, now.hour,
                  now.minute, now.second);
    return asciiToU16(text);
}

void WriteHtmlReport(ReportWriter& writer, MainLists& lists, const LocalTime& now) {
    // The page is code page 1251; without saying so browsers guess, and Cyrillic names turn to garbage.
    writer.write(u"<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">"
                 u"<title>Sondrel report</title></head><body bgcolor=white>");
    writer.write(u"<p align=center> <b> Generated on ");
    writer.write(htmlTimestamp(now));
    writer.write(u"</b></p><br>");
    writer.write(u"<table border=1 width='100%'><tr width='100%'>");
    writer.write(u"<td bgcolor='#CCFFFF' > Application </td>");
    writer.write(u"<td bgcolor='#CCFFFF' width='200'> UL / DL </td>");
    writer.write(u"<td bgcolor='#CCFFFF'> Remote IP </td>");
    writer.write(u"<td bgcolor='#CCFFFF'> Remote hostname </td></tr>");
    for (std::size_t row = 0; row < lists.applications().rowCount(); ++row) writeApplication(writer, lists, row);
    writer.write(u"</table></body></html>");
}

bool ExportHtmlReport(MainLists& lists, const std::string& path, const LocalTime& now) {
    ReportWriter writer;
    if (!writer.open(path)) return false;
    WriteHtmlReport(writer, lists, now);
    return writer.close();
}

}  // namespace sondrel
