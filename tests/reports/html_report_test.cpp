#include "reports/html_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "report_fixture.h"

namespace sondrel {
namespace {

using testing::PrintTo;
using testing::AppSpec;
using testing::ListsWithRecords;
using testing::readBytes;
using testing::TempDir;

constexpr LocalTime kSixDecember{2026, 12, 6, 14, 5, 9};

std::string pageStart(const std::string& timestamp) {
    return "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">"
           "<title>Sondrel report</title></head><body bgcolor=white>"
           "<p align=center> <b> Generated on " +
           timestamp +
           "</b></p><br>"
           "<table border=1 width='100%'><tr width='100%'>"
           "<td bgcolor='#CCFFFF' > Application </td>"
           "<td bgcolor='#CCFFFF' width='200'> UL / DL </td>"
           "<td bgcolor='#CCFFFF'> Remote IP </td>"
           "<td bgcolor='#CCFFFF'> Remote hostname </td></tr>";
}

const std::string kPageEnd = "</table></body></html>";

struct TimestampRow {
    const char* name;
    LocalTime time;
    const char* text;
};

class HtmlTimestamp : public ::testing::TestWithParam<TimestampRow> {};

TEST_P(HtmlTimestamp, IsYearDayMonthThenTime) {
    EXPECT_EQ(testing::u8(htmlTimestamp(GetParam().time)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HtmlTimestamp,
    ::testing::Values(TimestampRow{"six_december", kSixDecember, "2026:06:12 14:05:09"},
                      TimestampRow{"first_february", {2027, 2, 1, 9, 3, 4}, "2027:01:02 09:03:04"},
                      TimestampRow{"midnight", {2026, 1, 1, 0, 0, 0}, "2026:01:01 00:00:00"},
                      TimestampRow{"last_second_of_year", {2026, 12, 31, 23, 59, 59}, "2026:31:12 23:59:59"}),
    [](const ::testing::TestParamInfo<TimestampRow>& info) { return std::string(info.param.name); });

struct PageRow {
    const char* name;
    std::vector<AppSpec> apps;     // in order of first appearance
    std::optional<int> sortColumn;  // a header click before the export
    std::string body;               // between the table header row and the page end
};

class HtmlPage : public ::testing::TestWithParam<PageRow> {};

TEST_P(HtmlPage, IsByteExact) {
    const PageRow& row = GetParam();
    ListsWithRecords state(row.apps);
    if (row.sortColumn) state.lists().sortApplications(std::size_t(*row.sortColumn));
    TempDir dir;
    const std::string path = dir.file("report.html");
    ASSERT_TRUE(ExportHtmlReport(state.lists(), path, kSixDecember));
    const std::string expected = pageStart("2026:06:12 14:05:09") + row.body + kPageEnd;
    EXPECT_EQ(readBytes(path), expected);
}

const AppSpec kClient{u"D:\\Apps\\client.exe",
                      2048,
                      1048576,
                      {{u"TCP:", 1050, 80, 2048, 1048576, u"192.0.2.7", u"www.example.org"}}};

INSTANTIATE_TEST_SUITE_P(
    Rows, HtmlPage,
    ::testing::Values(
        PageRow{"no_applications", {}, std::nullopt, ""},
        PageRow{"one_application_tcp_1050_to_80",
                {kClient},
                std::nullopt,
                "<tr><td >D:\\Apps\\client.exe<br><br> Network activity:<br><br>"
                "Local port: TCP:1050/ Remote port: TCP:80<br>"
                "</td><td width='200'>2 KB / 1 MB<br><br><br><br>2 KB / 1 MB<br>"
                "</td><td><br><br><br><br>192.0.2.7<br>"
                "</td><td><br><br><br><br>www.example.org<br>"
                "</td></tr>"},
        PageRow{"application_without_endpoints",
                {{u"/usr/bin/idle", 0, 0, {}}},
                std::nullopt,
                "<tr><td >/usr/bin/idle<br><br> Network activity:<br><br>"
                "</td><td width='200'>0 B / 0 B<br><br><br><br>"
                "</td><td><br><br><br><br>"
                "</td><td><br><br><br><br>"
                "</td></tr>"},
        // The newest application stands at the top of the list and the newest
        // endpoint at the top of the Details list; the page follows both.
        PageRow{"several_applications_in_list_order",
                {{u"/usr/bin/curl",
                  5000,
                  70000,
                  {{u"TCP:", 40000, 443, 1000, 50000, u"198.51.100.1", u"a.example"},
                   {u"UDP:", 53000, 53, 4000, 20000, u"198.51.100.2", u""}}},
                 {u"/usr/bin/idle", 0, 0, {}},
                 {u"ICMP protocol", 84, 84, {{u"-", 0, 0, 84, 84, u"203.0.113.9", u"ping.example"}}}},
                std::nullopt,
                "<tr><td >ICMP protocol<br><br> Network activity:<br><br>"
                "Local port: -/ Remote port: -<br>"
                "</td><td width='200'>84 B / 84 B<br><br><br><br>84 B / 84 B<br>"
                "</td><td><br><br><br><br>203.0.113.9<br>"
                "</td><td><br><br><br><br>ping.example<br>"
                "</td></tr>"
                "<tr><td >/usr/bin/idle<br><br> Network activity:<br><br>"
                "</td><td width='200'>0 B / 0 B<br><br><br><br>"
                "</td><td><br><br><br><br>"
                "</td><td><br><br><br><br>"
                "</td></tr>"
                "<tr><td >/usr/bin/curl<br><br> Network activity:<br><br>"
                "Local port: UDP:53000/ Remote port: UDP:53<br>"
                "Local port: TCP:40000/ Remote port: TCP:443<br>"
                "</td><td width='200'>4 KB / 68 KB<br><br><br><br>3 KB / 19 KB<br>1000 B / 48 KB<br>"
                "</td><td><br><br><br><br>198.51.100.2<br>198.51.100.1<br>"
                "</td><td><br><br><br><br><br>a.example<br>"
                "</td></tr>"},
        PageRow{"order_of_a_previous_sort_by_name",
                {{u"/b", 1, 1, {}}, {u"/a", 2, 2, {}}, {u"/c", 3, 3, {}}},
                0,
                "<tr><td >/a<br><br> Network activity:<br><br></td><td width='200'>2 B / 2 B<br><br><br><br>"
                "</td><td><br><br><br><br></td><td><br><br><br><br></td></tr>"
                "<tr><td >/b<br><br> Network activity:<br><br></td><td width='200'>1 B / 1 B<br><br><br><br>"
                "</td><td><br><br><br><br></td><td><br><br><br><br></td></tr>"
                "<tr><td >/c<br><br> Network activity:<br><br></td><td width='200'>3 B / 3 B<br><br><br><br>"
                "</td><td><br><br><br><br></td><td><br><br><br><br></td></tr>"},
        PageRow{"list_texts_escaped",
                {{u"/opt/a&b/<x>\"q'",
                  10,
                  20,
                  {{u"TCP:", 1, 2, 10, 20, u"192.0.2.1", u"<script>alert('&')</script>"}}}},
                std::nullopt,
                "<tr><td >/opt/a&amp;b/&lt;x&gt;&quot;q&#39;<br><br> Network activity:<br><br>"
                "Local port: TCP:1/ Remote port: TCP:2<br>"
                "</td><td width='200'>10 B / 20 B<br><br><br><br>10 B / 20 B<br>"
                "</td><td><br><br><br><br>192.0.2.1<br>"
                "</td><td><br><br><br><br>&lt;script&gt;alert(&#39;&amp;&#39;)&lt;/script&gt;<br>"
                "</td></tr>"},
        PageRow{"unmappable_character_keeps_the_rest",
                {{u"/opt/\u4E2D\u6587/app\u00E9", 1, 1, {{u"UDP:", 5, 6, 1, 1, u"192.0.2.2", u"\u0445\u043E\u0441\u0442.ru"}}}},
                std::nullopt,
                "<tr><td >/opt/?" "?/app?<br><br> Network activity:<br><br>"
                "Local port: UDP:5/ Remote port: UDP:6<br>"
                "</td><td width='200'>1 B / 1 B<br><br><br><br>1 B / 1 B<br>"
                "</td><td><br><br><br><br>192.0.2.2<br>"
                "</td><td><br><br><br><br>\xF5\xEE\xF1\xF2.ru<br>"
                "</td></tr>"}),
    [](const ::testing::TestParamInfo<PageRow>& info) { return std::string(info.param.name); });

TEST(HtmlReport, LeavesTheLastApplicationSelectedWithItsEndpoints) {
    ListsWithRecords state({kClient, {u"/usr/bin/idle", 0, 0, {}}});
    TempDir dir;
    ASSERT_TRUE(ExportHtmlReport(state.lists(), dir.file("r.html"), kSixDecember));
    const ReportList& apps = state.lists().applications();
    const ReportList& details = state.lists().details();
    ASSERT_EQ(apps.rowCount(), 2u);
    EXPECT_EQ(apps.selectedRow(), std::optional<std::size_t>(1));
    EXPECT_EQ(apps.text(1, 0), u"D:\\Apps\\client.exe");
    ASSERT_EQ(details.rowCount(), 1u);
    EXPECT_EQ(details.text(0, 3), u"192.0.2.7");
    EXPECT_EQ(state.lists().SortState, 0);
}

TEST(HtmlReport, UncreatableFileReportsFalseAndTouchesNothing) {
    ListsWithRecords state({kClient});
    TempDir dir;
    const std::string path = dir.file("missing/r.html");
    EXPECT_FALSE(ExportHtmlReport(state.lists(), path, kSixDecember));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(state.lists().applications().selectedRow(), std::nullopt);
    EXPECT_EQ(state.lists().details().rowCount(), 0u);
}

}  // namespace
}  // namespace sondrel
