#include <sstream>

#include "history_fixture.h"
#include "history/history_text.h"

namespace sondrel {
namespace {

// Three applications on two days, one outside the range printed.
class HistoryText : public ::testing::Test {
protected:
    void SetUp() override {
        opened = testing::openStore(folder.file("history.sqlite"));
        const HistoryDay day = historyDayOf(2027, 1, 30);
        ASSERT_TRUE(opened.store
                        ->add({HistoryBatch{day,
                                            {{u"/usr/bin/firefox", {{u"192.0.2.1", {}, 2048, 3145728}}},
                                             {u"Café, \"the\" app", {{u"192.0.2.2", {}, 500, 0}}},
                                             {u"ssh", {{u"192.0.2.3", {}, 1000, 1024}}}}},
                               HistoryBatch{day + 1, {{u"ssh", {{u"192.0.2.3", {}, 24, 0}}}}},
                               HistoryBatch{day + 2, {{u"late", {{u"192.0.2.4", {}, 1, 0}}}}}})
                        .ok());
    }
    std::string print(HistoryFormat format) {
        std::ostringstream out;
        EXPECT_EQ(printHistory(*opened.store, range, format, out), 0);
        return out.str();
    }

    testing::TempFolder folder;
    HistoryOpenResult opened;
    const HistoryRange range{historyDayOf(2027, 1, 30), historyDayOf(2027, 1, 31)};
};

TEST_F(HistoryText, Table) {
    EXPECT_EQ(print(HistoryFormat::Table),
              "Application          UL    DL  Total   Share\n"
              "/usr/bin/firefox   2 KB  3 MB   3 MB  99.9 %\n"
              "ssh                1 KB  1 KB   2 KB   0.1 %\n"
              "Café, \"the\" app   500 B   0 B  500 B   0.0 %\n");
}

TEST_F(HistoryText, Csv) {
    EXPECT_EQ(print(HistoryFormat::Csv),
              "Application,UL bytes,DL bytes,Total bytes,Share\n"
              "/usr/bin/firefox,2048,3145728,3147776,99.9\n"
              "ssh,1024,1024,2048,0.1\n"
              "\"Café, \"\"the\"\" app\",500,0,500,0.0\n");
}

TEST_F(HistoryText, Json) {
    EXPECT_EQ(print(HistoryFormat::Json),
              "[\n"
              "  {\"name\": \"/usr/bin/firefox\", \"ul_bytes\": 2048, \"dl_bytes\": 3145728, \"total_bytes\": 3147776},\n"
              "  {\"name\": \"ssh\", \"ul_bytes\": 1024, \"dl_bytes\": 1024, \"total_bytes\": 2048},\n"
              "  {\"name\": \"Café, \\\"the\\\" app\", \"ul_bytes\": 500, \"dl_bytes\": 0, \"total_bytes\": 500}\n"
              "]\n");
    EXPECT_EQ(historyJson({{u"a\x01\n\t\\\x7f", 1, 0}}),
              "[\n  {\"name\": \"a\\u0001\\n\\t\\\\\\u007f\", \"ul_bytes\": 1, \"dl_bytes\": 0, \"total_bytes\": 1}\n]\n");
    EXPECT_EQ(historyJson({}), "[]\n");
}

TEST_F(HistoryText, ARangeEndingBeforeItBeginsPrintsNothing) {
    std::ostringstream out;
    EXPECT_EQ(printHistory(*opened.store, {range.last, range.first}, HistoryFormat::Csv, out), 2);
    EXPECT_EQ(out.str(), "");
}

TEST(HistoryDate, StrictDays) {
    const struct {
        const char* text;
        std::optional<CalendarDate> date;
    } rows[]{
        {"2027-01-31", CalendarDate{2027, 1, 31}},
        {"2024-02-29", CalendarDate{2024, 2, 29}},
        {"2000-02-29", CalendarDate{2000, 2, 29}},
        {"0001-01-01", CalendarDate{1, 1, 1}},
        {"1900-02-29", std::nullopt},
        {"2023-02-29", std::nullopt},
        {"2027-04-31", std::nullopt},
        {"2027-13-01", std::nullopt},
        {"2027-00-10", std::nullopt},
        {"2027-01-00", std::nullopt},
        {"0000-01-01", std::nullopt},
        {"2027-1-31", std::nullopt},
        {"2027-01-31 ", std::nullopt},
        {"+027-01-31", std::nullopt},
        {"2027/01/31", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        const std::optional<HistoryDay> day = parseHistoryDate(row.text);
        ASSERT_EQ(day.has_value(), row.date.has_value());
        if (!day) continue;
        const CalendarDate date = calendarDateOf(*day);
        EXPECT_EQ(std::tie(date.year, date.month, date.day), std::tie(row.date->year, row.date->month, row.date->day));
    }
    EXPECT_EQ(parseHistoryDate("1970-01-01"), 0);
}

}  // namespace
}  // namespace sondrel
