#include <map>
#include <random>
#include <tuple>

#include "history_fixture.h"
#include "history/history_recorder.h"

namespace sondrel {
namespace {

using testing::TempFolder;

// What was counted, by day, application and remote: what the history must hold.
using Model = std::map<std::tuple<HistoryDay, std::u16string, std::u16string>, std::pair<std::uint64_t, std::uint64_t>>;

void expectViewHolds(const HistoryView& view, const Model& model, const HistoryRange& range) {
    std::map<std::u16string, std::pair<std::uint64_t, std::uint64_t>> apps;
    std::map<HistoryDay, std::uint64_t> days;
    std::map<std::u16string, std::map<std::u16string, std::uint64_t>> remotes;
    for (const auto& [key, bytes] : model) {
        const auto& [day, app, remote] = key;
        if (day < range.first || day > range.last) continue;
        apps[app].first += bytes.first;
        apps[app].second += bytes.second;
        days[day] += bytes.first + bytes.second;
        remotes[app][remote] += bytes.first + bytes.second;
    }
    std::map<std::u16string, std::pair<std::uint64_t, std::uint64_t>> seenApps;
    for (const ApplicationTotal& total : view.applications(range)) seenApps[total.name] = {total.ulBytes, total.dlBytes};
    EXPECT_EQ(seenApps, apps);
    std::map<HistoryDay, std::uint64_t> seenDays;
    for (const DayTotal& total : view.days(range)) seenDays[total.day] = total.ulBytes + total.dlBytes;
    EXPECT_EQ(seenDays, days);
    for (const auto& [app, expected] : remotes) {
        std::map<std::u16string, std::uint64_t> seen;
        for (const EndpointTotal& total : view.endpoints(range, app)) seen[total.remote] = total.ulBytes + total.dlBytes;
        EXPECT_EQ(seen, expected) << u16ToUtf8(app);
    }
}

LocalTime plusSeconds(LocalTime t, int seconds) {
    std::int64_t s = std::int64_t(historyDayOf(t.year, t.month, t.day)) * 86400 + t.hour * 3600 + t.minute * 60 +
                     t.second + seconds;
    const CalendarDate date = calendarDateOf(HistoryDay(s / 86400));
    s %= 86400;
    return {date.year, date.month, date.day, int(s / 3600), int(s / 60 % 60), int(s % 60)};
}

// Ticks every 20 s from before one midnight (also a month's end) to after the
// next, with traffic between ticks, a reset, and writes that fail for a while:
// what the view shows and what the file holds after a reopen both match the
// model at every step and at the end.
TEST(HistoryRecorder, EveryByteCountedReachesTheFileOnceOnItsDay) {
    TempFolder folder;
    const std::string path = folder.file("history.sqlite");
    auto records = std::make_shared<RecordsState>();
    LocalTime now{2027, 1, 31, 23, 55, 0};
    HistoryDay recorderDay = historyDayOf(2027, 1, 31);
    Model model;
    std::mt19937 random(42);
    const std::vector<std::u16string> apps{u"/usr/bin/firefox", u"/usr/bin/ssh", u"Ünïcode ☃ app", u"ICMP"};
    const HistoryRange all{historyDayOf(2027, 1, 1), historyDayOf(2027, 3, 1)};
    {
        HistoryRecorder recorder(records, testing::openStore(path).store, recorderDay);
        int failuresTold = 0;
        for (int step = 0; step < 90; ++step) {
            // While writes fail, bursts of new rows make the file grow, so they fail for sure.
            const int packets = step == 40 || step == 45 ? 400 : 5;
            for (int packet = 0; packet < packets; ++packet) {
                const std::u16string& app = apps[random() % apps.size()];
                const std::uint32_t remote =
                    packets > 5 ? 1000 + std::uint32_t(step * packets + packet) : std::uint32_t(random() % 8);
                const std::uint64_t ul = random() % 3000;
                const std::uint64_t dl = random() % 90000;
                testing::count(*records, app, remote, ul, dl, remote % 2 ? u"host.example" : u"");
                auto& bytes = model[{recorderDay, app, FormatIPv4(htonl(0x0A000000u + remote))}];
                bytes.first += ul;
                bytes.second += dl;
            }
            if (step == 20) {
                const std::scoped_lock guard(records->RecordsLock);
                recorder.flushHeld(records->table);
                records->table.clear();
            }
            if (step == 40) recorder.withStore([](HistoryStore& store) { store.setPageLimit(1); });
            if (step == 40 || step == 45) {
                EXPECT_FALSE(recorder.flushAndWait());
            }
            if (step == 50) recorder.withStore([](HistoryStore& store) { store.setPageLimit(0); });
            now = plusSeconds(now, 20);
            if (recorder.tick(now)) ++failuresTold;
            recorderDay = historyDayOf(now.year, now.month, now.day);
            if (step % 10 == 0) expectViewHolds(recorder, model, all);
        }
        EXPECT_EQ(failuresTold, 1);
        EXPECT_TRUE(recorder.flushAndWait());
        expectViewHolds(recorder, model, all);
    }
    EXPECT_EQ(now.month, 2);
    EXPECT_EQ(now.day, 1);
    EXPECT_GE(model.size(), 3u);
    auto reopened = testing::openStore(path);
    expectViewHolds(*reopened.store, model, all);
    const auto days = reopened.store->days(all);
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].day, historyDayOf(2027, 1, 31));
    // Odd remotes were named: the name stays, whatever flush came after.
    for (const EndpointTotal& endpoint : reopened.store->endpoints(all, apps[0])) {
        EXPECT_EQ(endpoint.hostName, (endpoint.remote.back() - u'0') % 2 ? u"host.example" : u"") << u16ToUtf8(endpoint.remote);
    }
}

TEST(HistoryRecorder, AFailingStreakIsToldOnce) {
    TempFolder folder;
    auto records = std::make_shared<RecordsState>();
    HistoryRecorder recorder(records, testing::openStore(folder.file("history.sqlite")).store, historyDayOf(2027, 1, 31));
    recorder.withStore([](HistoryStore& store) { store.setPageLimit(1); });
    std::vector<bool> told;
    for (int attempt = 0; attempt < 3; ++attempt) {
        for (std::uint32_t r = 0; r < 300; ++r) testing::count(*records, u"app", r + 300 * std::uint32_t(attempt), 1, 1);
        EXPECT_FALSE(recorder.flushAndWait());
        const auto text = recorder.takeFailure();
        told.push_back(text.has_value());
        if (text) {
            EXPECT_EQ(text->find(u"Can't write the history file: "), 0u);
        }
    }
    EXPECT_EQ(told, (std::vector<bool>{true, false, false}));
    recorder.withStore([](HistoryStore& store) { store.setPageLimit(0); });
    EXPECT_TRUE(recorder.flushAndWait());
    EXPECT_FALSE(recorder.takeFailure());
    recorder.withStore([](HistoryStore& store) {
        const HistoryDay day = historyDayOf(2027, 1, 31);
        EXPECT_EQ(store.endpoints({day, day}, u"app").size(), 900u);
    });
}

}  // namespace
}  // namespace sondrel
