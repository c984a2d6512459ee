#include "reports/csv_report.h"

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
using testing::EndpointSpec;
using testing::ListsWithRecords;
using testing::readBytes;
using testing::TempDir;

const std::string kSemicolonHeader = "Application;UL bytes;DL bytes;Local port;Remote Port;Remote IP;Remote hostname\r\n";

std::string reportBytes(MainLists& lists, std::u16string_view separator) {
    TempDir dir;
    const std::string path = dir.file("report.csv");
    ReportWriter writer;
    EXPECT_TRUE(writer.open(path));
    ReportLines(writer, lists, separator);
    writer.close();
    return readBytes(path);
}

struct SeparatorRow {
    const char* name;
    const char* decimalPoint;
    const char16_t* separator;
};

class ListSeparatorChoice : public ::testing::TestWithParam<SeparatorRow> {};

TEST_P(ListSeparatorChoice, FollowsTheDecimalPoint) {
    EXPECT_EQ(listSeparatorFor(GetParam().decimalPoint), GetParam().separator);
}

INSTANTIATE_TEST_SUITE_P(Rows, ListSeparatorChoice,
                         ::testing::Values(SeparatorRow{"decimal_comma", ",", u";"},
                                           SeparatorRow{"decimal_point", ".", u","},
                                           SeparatorRow{"empty", "", u","},
                                           SeparatorRow{"arabic_decimal_separator", "\xD9\xAB", u","}),
                         [](const ::testing::TestParamInfo<SeparatorRow>& info) {
                             return std::string(info.param.name);
                         });

TEST(ListSeparator, IsACommaInTheCLocale) { EXPECT_EQ(ListSeparator(), u","); }

struct LinesRow {
    const char* name;
    std::vector<AppSpec> apps;
    std::u16string separator;
    std::string bytes;
};

class CsvLines : public ::testing::TestWithParam<LinesRow> {};

TEST_P(CsvLines, AreByteExact) {
    ListsWithRecords state(GetParam().apps);
    EXPECT_EQ(reportBytes(state.lists(), GetParam().separator), GetParam().bytes);
}

EndpointSpec endpointWithBytes(std::uint64_t ul, std::uint64_t dl) { return {u"TCP:", 1, 2, ul, dl, u"192.0.2.1", u""}; }

constexpr std::uint64_t kGB = std::uint64_t(1) << 40;
constexpr std::uint64_t kMB = std::uint64_t(1) << 20;

INSTANTIATE_TEST_SUITE_P(
    Rows, CsvLines,
    ::testing::Values(
        LinesRow{"no_applications", {}, u";", kSemicolonHeader},
        LinesRow{"header_with_comma", {}, u",",
                 "Application,UL bytes,DL bytes,Local port,Remote Port,Remote IP,Remote hostname\r\n"},
        LinesRow{"applications_without_endpoints",
                 {{u"/usr/bin/a", 0, 0, {}}, {u"/usr/bin/b", 0, 0, {}}},
                 u";",
                 kSemicolonHeader},
        LinesRow{"client_example_line",
                 {{u"D:\\Apps\\client.exe", 2048, 1048576, {{u"TCP:", 1050, 80, 2048, 1048576, u"192.0.2.7", u""}}}},
                 u";",
                 kSemicolonHeader + "D:\\Apps\\client.exe;2048;1048576;TCP:1050;TCP:80;192.0.2.7;;\r\n"},
        LinesRow{"other_protocol_ports_are_dashes",
                 {{u"ICMP protocol", 84, 84, {{u"-", 0, 0, 84, 84, u"203.0.113.9", u"ping.example"}}}},
                 u",",
                 "Application,UL bytes,DL bytes,Local port,Remote Port,Remote IP,Remote hostname\r\n"
                 "ICMP protocol,84,84,-,-,203.0.113.9,ping.example,\r\n"},
        // Byte fields are the shown value, not the count: 1536 bytes show as 1 KB.
        LinesRow{"byte_fields_of_each_unit",
                 {{u"/app",
                   0,
                   0,
                   {endpointWithBytes(5 * kGB, 1023), endpointWithBytes(4096 * kMB, 3 * kMB + 5),
                    endpointWithBytes(1536, 1536)}}},
                 u";",
                 kSemicolonHeader + "/app;4294967296;3145728;TCP:1;TCP:2;192.0.2.1;;\r\n"
                                    "/app;1024;1024;TCP:1;TCP:2;192.0.2.1;;\r\n"
                                    "/app;5497558138880;1023;TCP:1;TCP:2;192.0.2.1;;\r\n"},
        LinesRow{"applications_and_endpoints_by_dl_largest_first",
                 {{u"/2047mb", 0, 2047 * kMB, {endpointWithBytes(0, 1), endpointWithBytes(0, 2 * kMB)}},
                  {u"/1gb", 0, kGB, {endpointWithBytes(0, 5)}},
                  {u"/2048mb", 0, 2048 * kMB, {endpointWithBytes(0, 900 * 1024), endpointWithBytes(0, 1000)}}},
                 u";",
                 kSemicolonHeader + "/1gb;0;5;TCP:1;TCP:2;192.0.2.1;;\r\n"
                                    "/2048mb;0;921600;TCP:1;TCP:2;192.0.2.1;;\r\n"
                                    "/2048mb;0;1000;TCP:1;TCP:2;192.0.2.1;;\r\n"
                                    "/2047mb;0;2097152;TCP:1;TCP:2;192.0.2.1;;\r\n"
                                    "/2047mb;0;1;TCP:1;TCP:2;192.0.2.1;;\r\n"},
        LinesRow{"fields_with_separator_quote_or_line_break_quoted",
                 {{u"/opt/a;b", 0, 0,
                   {{u"UDP:", 7, 8, 1, 3, u"192.0.2.3", u"say \"hi\""},
                    {u"UDP:", 9, 10, 1, 2, u"192.0.2.4", u"two\nlines"},
                    {u"UDP:", 11, 12, 1, 1, u"192.0.2.5", u"a,b\rc"}}}},
                 u";",
                 kSemicolonHeader + "\"/opt/a;b\";1;3;UDP:7;UDP:8;192.0.2.3;\"say \"\"hi\"\"\";\r\n"
                                    "\"/opt/a;b\";1;2;UDP:9;UDP:10;192.0.2.4;\"two\r\nlines\";\r\n"
                                    "\"/opt/a;b\";1;1;UDP:11;UDP:12;192.0.2.5;\"a,b\rc\";\r\n"},
        LinesRow{"comma_unquoted_under_semicolon",
                 {{u"/opt/a,b", 0, 0, {{u"TCP:", 1, 2, 0, 0, u"192.0.2.1", u"x,y"}}}},
                 u";",
                 kSemicolonHeader + "/opt/a,b;0;0;TCP:1;TCP:2;192.0.2.1;x,y;\r\n"},
        // Names and host names chosen by others must not run as spreadsheet formulas.
        LinesRow{"formula_starts_in_text_cells_get_an_apostrophe",
                 {{u"=cmd|' -C calc'!A0", 0, 0,
                   {{u"-", 0, 0, 0, 4, u"192.0.2.1", u"+1.example"},
                    {u"UDP:", 5, 6, 0, 3, u"192.0.2.2", u"-x"},
                    {u"UDP:", 7, 8, 0, 2, u"192.0.2.3", u"@sum"},
                    {u"UDP:", 9, 10, 0, 1, u"192.0.2.4", u"\tx"},
                    {u"UDP:", 11, 12, 0, 0, u"192.0.2.5", u"a=b"}}}},
                 u",",
                 "Application,UL bytes,DL bytes,Local port,Remote Port,Remote IP,Remote hostname\r\n"
                 "'=cmd|' -C calc'!A0,0,4,-,-,192.0.2.1,'+1.example,\r\n"
                 "'=cmd|' -C calc'!A0,0,3,UDP:5,UDP:6,192.0.2.2,'-x,\r\n"
                 "'=cmd|' -C calc'!A0,0,2,UDP:7,UDP:8,192.0.2.3,'@sum,\r\n"
                 "'=cmd|' -C calc'!A0,0,1,UDP:9,UDP:10,192.0.2.4,'\tx,\r\n"
                 "'=cmd|' -C calc'!A0,0,0,UDP:11,UDP:12,192.0.2.5,a=b,\r\n"},
        LinesRow{"carriage_return_start_is_defused_and_quoted",
                 {{u"/a", 0, 0, {{u"TCP:", 1, 2, 0, 0, u"192.0.2.1", u"\rx"}}}},
                 u",",
                 "Application,UL bytes,DL bytes,Local port,Remote Port,Remote IP,Remote hostname\r\n"
                 "/a,0,0,TCP:1,TCP:2,192.0.2.1,\"'\rx\",\r\n"},
        LinesRow{"unmappable_character_keeps_the_rest",
                 {{u"/opt/\u4E2D", 0, 0, {{u"TCP:", 1, 2, 0, 0, u"192.0.2.1", u"\u0445.example"}}}},
                 u";",
                 kSemicolonHeader + "/opt/?;0;0;TCP:1;TCP:2;192.0.2.1;\xF5.example;\r\n"}),
    [](const ::testing::TestParamInfo<LinesRow>& info) { return std::string(info.param.name); });

TEST(ReportLines, LeavesBothListsSortedByDlWithTheLastApplicationSelected) {
    ListsWithRecords state({{u"/2047mb", 0, 2047 * kMB, {endpointWithBytes(0, 1), endpointWithBytes(0, 2 * kMB)}},
                            {u"/1gb", 0, kGB, {endpointWithBytes(0, 5)}},
                            {u"/2048mb", 0, 2048 * kMB, {}}});
    state.lists().sortApplications(0);
    reportBytes(state.lists(), u";");
    const ReportList& apps = state.lists().applications();
    const ReportList& details = state.lists().details();
    EXPECT_EQ(state.lists().SortState, 2);
    ASSERT_EQ(apps.rowCount(), 3u);
    EXPECT_EQ(apps.text(0, 0), u"/1gb");
    EXPECT_EQ(apps.text(1, 0), u"/2048mb");
    EXPECT_EQ(apps.text(2, 0), u"/2047mb");
    EXPECT_EQ(apps.selectedRow(), std::optional<std::size_t>(2));
    ASSERT_EQ(details.rowCount(), 2u);
    EXPECT_EQ(details.text(0, 2), u"2 MB");
    EXPECT_EQ(details.text(1, 2), u"1 B");
}

TEST(ExportCsvReport, WritesTheFileAndTruncatesAnOldOne) {
    ListsWithRecords state({{u"/a", 0, 0, {{u"TCP:", 1, 2, 3, 4, u"192.0.2.1", u"h"}}}});
    TempDir dir;
    const std::string path = dir.file("r.csv");
    std::ofstream(path, std::ios::binary) << std::string(4000, 'x');
    ASSERT_TRUE(ExportCsvReport(state.lists(), path));
    EXPECT_EQ(readBytes(path),
              "Application,UL bytes,DL bytes,Local port,Remote Port,Remote IP,Remote hostname\r\n"
              "/a,3,4,TCP:1,TCP:2,192.0.2.1,h,\r\n");
}

TEST(ExportCsvReport, FullDiskReportsFalse) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    ListsWithRecords state({{u"/a", 0, 0, {{u"TCP:", 1, 2, 3, 4, u"192.0.2.1", u"h"}}}});
    EXPECT_FALSE(ExportCsvReport(state.lists(), "/dev/full"));
}

TEST(ExportCsvReport, UncreatableFileReportsFalseAndSortsNothing) {
    ListsWithRecords state({{u"/a-small", 0, 1, {}}, {u"/b-big", 0, 2, {}}});
    state.lists().sortApplications(0);
    TempDir dir;
    const std::string path = dir.file("missing/r.csv");
    EXPECT_FALSE(ExportCsvReport(state.lists(), path));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(state.lists().SortState, 0);
    EXPECT_EQ(state.lists().applications().text(0, 0), u"/a-small");
    EXPECT_EQ(state.lists().applications().selectedRow(), std::nullopt);
}

}  // namespace
}  // namespace sondrel
