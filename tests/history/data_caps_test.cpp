#include <map>

#include "config/data_caps.h"
#include "history/data_cap_watch.h"
#include "history_fixture.h"

namespace sondrel {
namespace {

using Period = DataCap::Period;

TEST(DataCaps, FileRoundTripAndUnreadableLinesSkipped) {
    testing::TempFolder folder;
    EXPECT_TRUE(loadDataCaps(folder.path()).empty());
    const std::vector<DataCap> caps{{Period::Month, u"", 50000000000},
                                    {Period::Day, u"/usr/bin/firefox", 1000000000},
                                    {Period::Day, u"/opt/My App/bin/ünï code", 18446744073709551615u}};
    ASSERT_TRUE(saveDataCaps(folder.path(), caps));
    EXPECT_EQ(testing::readBytes(folder.file("data-caps")),
              "month 50000000000\nday 1000000000 /usr/bin/firefox\nday 18446744073709551615 /opt/My App/bin/ünï code\n");
    EXPECT_EQ(loadDataCaps(folder.path()), caps);
    EXPECT_FALSE(saveDataCaps(folder.path(), {{Period::Day, u"two\nlines", 5}}));
    EXPECT_EQ(loadDataCaps(folder.path()), caps);

    const std::vector<DataCap> read = decodeDataCaps(
        "week 5\n"
        "day\n"
        "day 0\n"
        "day -5\n"
        "day 18446744073709551616\n"
        "day 12x\n"
        "Day 5\n"
        "month  5\n"
        "day 7 bad \xff name\n"
        "day 9 with space \r\n"
        "month 3");
    EXPECT_EQ(read, (std::vector<DataCap>{{Period::Day, u"with space ", 9}, {Period::Month, u"", 3}}));
}

// Totals by day and application, as the history would give them.
class FakeView final : public HistoryView {
public:
    std::map<HistoryDay, std::map<std::u16string, std::uint64_t>> bytes;
    std::vector<ApplicationTotal> applications(const HistoryRange&) const override { return {}; }
    std::vector<EndpointTotal> endpoints(const HistoryRange&, const std::u16string&) const override { return {}; }
    std::vector<DayTotal> days(const HistoryRange& range, const std::optional<std::u16string>& app) const override {
        std::vector<DayTotal> out;
        for (const auto& [day, apps] : bytes) {
            if (day < range.first || day > range.last) continue;
            DayTotal total{day, 0, 0};
            for (const auto& [name, count] : apps)
                if (!app || *app == name) total.dlBytes += count;
            out.push_back(total);
        }
        return out;
    }
};

TEST(DataCapWatch, EachThresholdOncePerPeriod) {
    const DataCap month{Period::Month, u"", 1000};
    const DataCap day{Period::Day, u"app", 10};
    const HistoryDay jan30 = historyDayOf(2027, 1, 30);
    const HistoryDay jan31 = jan30 + 1;
    const HistoryDay feb1 = jan30 + 2;
    // Day, bytes added to "app" and to "other", the crossings expected as (cap, percent).
    const struct {
        HistoryDay day;
        std::uint64_t app;
        std::uint64_t other;
        std::vector<std::pair<int, int>> crossings;
    } steps[]{
        {jan30, 7, 700, {}},
        {jan30, 1, 92, {{0, 80}, {1, 80}}},
        {jan30, 1, 0, {}},
        {jan30, 1, 199, {{0, 100}, {1, 100}}},
        {jan30, 5, 500, {}},
        {jan31, 7, 0, {}},
        {jan31, 3, 0, {{1, 100}}},
        {feb1, 10, 989, {{0, 80}, {1, 100}}},
        {feb1, 0, 0, {}},
    };
    FakeView view;
    DataCapWatch watch;
    watch.setCaps({month, day});
    const std::vector<DataCap> caps{month, day};
    int index = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(index++);
        view.bytes[step.day][u"app"] += step.app;
        view.bytes[step.day][u"other"] += step.other;
        std::vector<std::pair<int, int>> seen;
        for (const DataCapCrossing& crossing : watch.update(view, step.day))
            seen.emplace_back(crossing.cap == month ? 0 : 1, crossing.percent);
        EXPECT_EQ(seen, step.crossings);
    }
    ASSERT_EQ(watch.uses().size(), 2u);
    EXPECT_EQ(watch.uses()[0].usedBytes, 999u);
    EXPECT_DOUBLE_EQ(watch.uses()[0].ratio, 0.999);
    EXPECT_DOUBLE_EQ(watch.uses()[1].ratio, 1.0);
}

}  // namespace
}  // namespace sondrel
