#include "reports/daily_report.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "report_fixture.h"

namespace sondrel {
namespace {

using testing::PrintTo;
using testing::ListsWithRecords;
using testing::readBytes;
using testing::TempDir;

struct PathRow {
    const char* name;
    std::u16string folder;
    LocalTime time;
    std::optional<std::string> path;
};

class DailyPath : public ::testing::TestWithParam<PathRow> {};

TEST_P(DailyPath, IsFolderThenYearDayMonth) {
    EXPECT_EQ(DailyReportPath(GetParam().folder, GetParam().time), GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DailyPath,
    ::testing::Values(PathRow{"first_february_2027", u"/var/reports", {2027, 2, 1, 0, 0, 3}, "/var/reports/2027_01_02.csv"},
                      PathRow{"seventh_december_2026", u"/srv/r", {2026, 12, 7, 0, 0, 0}, "/srv/r/2026_07_12.csv"},
                      PathRow{"folder_with_trailing_slash", u"/", {2026, 1, 31, 0, 0, 0}, "//2026_31_01.csv"},
                      PathRow{"non_ascii_folder_as_utf8", u"/home/\u0438\u0432\u0430\u043D", {2026, 3, 4, 0, 0, 0},
                              "/home/\xD0\xB8\xD0\xB2\xD0\xB0\xD0\xBD/2026_04_03.csv"},
                      PathRow{"empty_folder_no_file", u"", {2026, 3, 4, 0, 0, 0}, std::nullopt}),
    [](const ::testing::TestParamInfo<PathRow>& info) { return std::string(info.param.name); });

LocalTime at(int hour, int minute, int second) { return {2027, 2, 1, hour, minute, second}; }

struct DueRow {
    const char* name;
    std::int32_t dailyReports;
    std::optional<LocalTime> now;
    bool doneBefore;
    bool due;
    bool doneAfter;
};

class DailyDue : public ::testing::TestWithParam<DueRow> {};

TEST_P(DailyDue, DecidesFromTheMinuteAndTheFlag) {
    const DueRow& row = GetParam();
    bool done = row.doneBefore;
    EXPECT_EQ(dailyReportDue(row.dailyReports, row.now, done), row.due);
    EXPECT_EQ(done, row.doneAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DailyDue,
    ::testing::Values(DueRow{"first_second_of_the_day", 1, at(0, 0, 0), false, true, false},
                      DueRow{"last_second_of_the_minute", 1, at(0, 0, 59), false, true, false},
                      DueRow{"already_written_this_minute", 1, at(0, 0, 30), true, false, true},
                      DueRow{"next_minute_clears_the_flag", 1, at(0, 1, 0), true, false, false},
                      DueRow{"one_in_the_afternoon_clears_the_flag", 1, at(13, 0, 0), true, false, false},
                      DueRow{"time_unknown_clears_the_flag", 1, std::nullopt, true, false, false},
                      DueRow{"any_non_zero_flag_is_on", -1, at(0, 0, 0), false, true, false},
                      DueRow{"off_keeps_a_set_flag", 0, at(0, 1, 0), true, false, true},
                      DueRow{"off_at_midnight", 0, at(0, 0, 0), false, false, false}),
    [](const ::testing::TestParamInfo<DueRow>& info) { return std::string(info.param.name); });

// One tick a second from 23:59:58 to 00:01:01, then the same minute of the next
// night: the caller writes when due and then sets the flag.
TEST(DailyDue, FiresOnceInEachMidnightMinute) {
    std::vector<LocalTime> ticks;
    ticks.push_back(at(23, 59, 58));
    ticks.push_back(at(23, 59, 59));
    for (int s = 0; s < 60; ++s) ticks.push_back(at(0, 0, s));
    ticks.push_back(at(0, 1, 0));
    ticks.push_back(at(0, 1, 1));
    for (int s = 0; s < 60; ++s) ticks.push_back({2027, 2, 2, 0, 0, s});
    bool done = false;
    std::vector<std::size_t> firedAt;
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        if (dailyReportDue(1, ticks[i], done)) {
            firedAt.push_back(i);
            done = true;
        }
    }
    EXPECT_EQ(firedAt, (std::vector<std::size_t>{2, 64}));
}

TEST(WriteDailyReport, WritesTheCsvBodyUnderTheDayName) {
    ListsWithRecords state(
        {{u"D:\\Apps\\client.exe", 2048, 1048576, {{u"TCP:", 1050, 80, 2048, 1048576, u"192.0.2.7", u""}}}});
    TempDir dir;
    const std::string path = dir.file("2027_01_02.csv");
    std::ofstream(path, std::ios::binary) << std::string(3000, 'x');
    EXPECT_TRUE(WriteDailyReport(state.lists(), utf8ToU16(dir.path().string()), at(0, 0, 1)).written);
    EXPECT_EQ(readBytes(path),
              "Application,UL bytes,DL bytes,Local port,Remote Port,Remote IP,Remote hostname\r\n"
              "D:\\Apps\\client.exe,2048,1048576,TCP:1050,TCP:80,192.0.2.7,,\r\n");
    EXPECT_EQ(state.lists().SortState, 2);
}

struct UnwritableRow {
    const char* name;
    std::string folder;  // inside the temporary folder; "" for an empty reportFolder
    int error;
};

class WriteDailyReportUnwritable : public ::testing::TestWithParam<UnwritableRow> {};

TEST_P(WriteDailyReportUnwritable, LeavesNoFileAndReturns) {
    TempDir dir;
    std::ofstream(dir.file("plain-file"), std::ios::binary) << "x";
    ListsWithRecords state({{u"/a", 0, 1, {{u"TCP:", 1, 2, 0, 1, u"192.0.2.1", u""}}}});
    const std::u16string folder =
        GetParam().folder.empty() ? std::u16string() : utf8ToU16(dir.file(GetParam().folder));
    const DailyReportOutcome outcome = WriteDailyReport(state.lists(), folder, at(0, 0, 0));
    EXPECT_FALSE(outcome.written);
    EXPECT_EQ(outcome.error, GetParam().error);
    EXPECT_EQ(outcome.path.empty(), GetParam().folder.empty());
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"plain-file"});
    EXPECT_EQ(state.lists().SortState, 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, WriteDailyReportUnwritable,
                         ::testing::Values(UnwritableRow{"missing_folder", "no-such-folder", ENOENT},
                                           UnwritableRow{"folder_is_a_file", "plain-file", ENOTDIR},
                                           UnwritableRow{"empty_folder", "", 0}),
                         [](const ::testing::TestParamInfo<UnwritableRow>& info) {
                             return std::string(info.param.name);
                         });

// One tick a minute apart from the midnight on: which ticks write, under which
// day's name, and which failures are told. Failures are retried once per
// minute until a report is complete; switching reports off drops the retry.
TEST(DailyReportSchedule, RetriesEachMinuteAndTellsOncePerStreak) {
    struct Step {
        std::int32_t dailyReports;
        LocalTime now;
        std::optional<LocalTime> due;  // the day the tick writes under
        bool written;                  // the outcome when it writes
        bool told;
    };
    const LocalTime night{2027, 2, 1, 0, 0, 0};
    const LocalTime nextNight{2027, 2, 2, 0, 0, 0};
    const Step steps[] = {
        {1, {2027, 2, 1, 0, 0, 0}, night, false, true},
        {1, {2027, 2, 1, 0, 0, 1}, std::nullopt, false, false},   // same minute: no second try
        {1, {2027, 2, 1, 0, 1, 0}, night, false, false},          // next minute, still failing: not told again
        {1, {2027, 2, 1, 0, 1, 30}, std::nullopt, false, false},
        {1, {2027, 2, 1, 0, 2, 5}, night, true, false},           // written under the name of the day that began
        {1, {2027, 2, 1, 0, 3, 0}, std::nullopt, false, false},
        {1, {2027, 2, 2, 0, 0, 0}, nextNight, false, true},       // a new streak is told again
        {0, {2027, 2, 2, 0, 1, 0}, std::nullopt, false, false},   // off: the retry is dropped
        {1, {2027, 2, 2, 0, 2, 0}, std::nullopt, false, false},
    };
    DailyReportSchedule schedule;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE(i);
        const std::optional<LocalTime> due = schedule.due(step.dailyReports, step.now);
        ASSERT_EQ(due.has_value(), step.due.has_value());
        if (!due) continue;
        EXPECT_EQ(DailyReportPath(u"/r", *due), DailyReportPath(u"/r", *step.due));
        EXPECT_EQ(schedule.attempted(step.written), step.told);
        EXPECT_EQ(schedule.retryPending(), !step.written);
    }
}

}  // namespace
}  // namespace sondrel
