#include <gtest/gtest.h>

#include <cstring>

#include "engine/main_lists.h"
#include "tests/support/engine_fakes.h"
#include "tests/support/stepped_clock.h"

namespace sondrel {
namespace {

using testing::ip;

struct ListsFixture : ::testing::Test {
    std::shared_ptr<RecordsState> records = std::make_shared<RecordsState>();
    MainLists lists{records};

    // Adds (or grows) an application with one endpoint per given remote.
    void addApp(const std::u16string& name, std::uint64_t ul, std::uint64_t dl,
                std::vector<std::pair<std::uint16_t, const char*>> endpoints = {}) {
        AppTable& t = records->table;
        std::size_t i = t.findApp(name);
        if (i == AppTable::npos) i = t.appendApp(name);
        t.app(i).ulBytes = ul;
        t.app(i).dlBytes = dl;
        for (const auto& [port, remote] : endpoints) {
            t.appendEndpoint(i, EndpointRecord{port, 80, dl, ul, asciiRemote(remote), {}, ip(remote), u"TCP:", {}, false});
            t.app(i).lastRemoteHost = asciiRemote(remote);
        }
    }
    static std::u16string asciiRemote(const char* s) { return std::u16string(s, s + std::strlen(s)); }

    std::vector<std::u16string> column(const ReportList& list, std::size_t c) const {
        std::vector<std::u16string> out;
        for (std::size_t r = 0; r < list.rowCount(); ++r) out.push_back(list.text(r, c));
        return out;
    }
};

TEST_F(ListsFixture, ColumnsWidthsAndSortKinds) {
    struct Column {
        std::u16string title;
        int width;
        bool byValue;
    };
    const std::vector<Column> apps = {{u"Application", 350, false}, {u"UL", 70, true},  {u"DL", 70, true},
                                      {u"The last remote host", 250, false}, {u"UL/s", 70, true}, {u"DL/s", 70, true}};
    const std::vector<Column> details = {{u"Local port", 70, false},  {u"UL", 70, true},
                                         {u"DL", 70, true},           {u"Remote IP", 150, false},
                                         {u"Remote port", 90, false}, {u"Remote hostname", 300, false},
                                         {u"UL/s", 70, true},         {u"DL/s", 70, true},
                                         {u"Interface", 80, false}};
    for (const auto& [list, expected] : {std::pair{&lists.applications(), apps}, std::pair{&lists.details(), details}}) {
        ASSERT_EQ(list->columns().size(), expected.size());
        for (std::size_t c = 0; c < expected.size(); ++c) {
            EXPECT_EQ(list->columns()[c].title, expected[c].title) << c;
            EXPECT_EQ(list->columns()[c].width, expected[c].width) << c;
            EXPECT_EQ(list->columns()[c].sortByValue, expected[c].byValue) << c;
        }
    }
}

TEST_F(ListsFixture, NewApplicationsEnterAtTheTopAndRowsAreFoundByName) {
    addApp(u"/a", 10, 20, {{1, "10.0.0.1"}});
    lists.RefreshApplications();
    addApp(u"/b", 0, 2048, {{2, "10.0.0.2"}});
    addApp(u"/c", 0, 0, {{3, "10.0.0.3"}});
    lists.RefreshApplications();
    EXPECT_EQ(column(lists.applications(), 0), (std::vector<std::u16string>{u"/c", u"/b", u"/a"}));
    addApp(u"/a", 1 << 20, 20);
    lists.RefreshApplications();
    EXPECT_EQ(lists.applications().text(2, 1), u"1 MB");
    EXPECT_EQ(lists.applications().text(1, 2), u"2 KB");
    EXPECT_EQ(lists.applications().text(2, 3), u"10.0.0.1");
}

TEST_F(ListsFixture, AfterASortNewRowsStillEnterAtTheTopAndOldOnesKeepTheirPlaces) {
    addApp(u"/small", 0, 100);
    addApp(u"/big", 0, 5000);
    lists.RefreshApplications();
    lists.sortApplications(2);
    EXPECT_EQ(column(lists.applications(), 0), (std::vector<std::u16string>{u"/big", u"/small"}));
    addApp(u"/small", 0, 1 << 20);  // now the largest, but rows are not re-sorted
    addApp(u"/new", 0, 1);
    lists.RefreshApplications();
    EXPECT_EQ(column(lists.applications(), 0), (std::vector<std::u16string>{u"/new", u"/big", u"/small"}));
    EXPECT_EQ(lists.applications().text(2, 2), u"1 MB");
}

TEST_F(ListsFixture, IconKindsFollowTheName) {
    addApp(u"TCP protocol", 1, 1);
    addApp(u"/usr/bin/curl", 1, 1);
    addApp(u"BBN RCC Monitoring", 1, 1);
    lists.RefreshApplications();
    ASSERT_EQ(lists.imageKinds().size(), 3u);
    EXPECT_EQ(lists.imageKinds()[std::size_t(lists.applications().image(2))], AppIconKind::Protocol);
    EXPECT_EQ(lists.imageKinds()[std::size_t(lists.applications().image(1))], AppIconKind::Generic);
    EXPECT_EQ(lists.imageKinds()[std::size_t(lists.applications().image(0))], AppIconKind::Generic);
}

TEST_F(ListsFixture, FillDetailsShowsNewestEndpointFirstForTheSelectedRow) {
    addApp(u"/a", 0, 0, {{1050, "192.0.2.7"}, {1051, "192.0.2.8"}});
    records->table.app(0).endpoints[1].remoteHostName = u"host.example";
    addApp(u"ICMP protocol", 0, 0);
    records->table.appendEndpoint(1, EndpointRecord{0, 0, 84, 0, u"192.0.2.9", {}, ip("192.0.2.9"), u"-", {}, false});
    lists.RefreshApplications();
    lists.SelectApplicationRow(1);  // "/a": "ICMP protocol" entered above it
    ASSERT_EQ(lists.details().rowCount(), 2u);
    EXPECT_EQ(lists.details().text(0, 0), u"TCP:1051");
    EXPECT_EQ(lists.details().text(0, 4), u"TCP:80");
    EXPECT_EQ(lists.details().text(0, 5), u"host.example");
    EXPECT_EQ(lists.details().text(1, 3), u"192.0.2.7");
    lists.SelectApplicationRow(0);
    ASSERT_EQ(lists.details().rowCount(), 1u);
    EXPECT_EQ(lists.details().text(0, 0), u"-");
    EXPECT_EQ(lists.details().text(0, 4), u"-");
    EXPECT_EQ(lists.details().text(0, 2), u"84 B");
}

TEST_F(ListsFixture, FillDetailsWithoutSelectionLeavesDetailsEmpty) {
    addApp(u"/a", 0, 0, {{1, "10.0.0.1"}});
    lists.RefreshApplications();
    lists.SelectApplicationRow(0);
    lists.applications().setSelectedRow(std::nullopt);
    lists.FillDetails();
    EXPECT_EQ(lists.details().rowCount(), 0u);
}

struct SortRow {
    const char* name;
    std::size_t column;
    std::vector<std::u16string> cells;
    std::vector<std::u16string> expected;
};

TEST(ReportListSort, SizesDescendingTextsAscendingByCodeUnits) {
    const SortRow rows[] = {
        {"UL by size", 1, {u"900 KB", u"1000 B", u"2 MB"}, {u"2 MB", u"900 KB", u"1000 B"}},
        {"DL GB above MB", 2, {u"2047 MB", u"1 GB", u"2048 MB"}, {u"1 GB", u"2048 MB", u"2047 MB"}},
        {"ports sort as text", 0, {u"TCP:80", u"TCP:100", u"UDP:53"}, {u"TCP:100", u"TCP:80", u"UDP:53"}},
        {"prefix first, case-sensitive", 3, {u"ab", u"a", u"B"}, {u"B", u"a", u"ab"}},
        {"rates by value", 4, {u"900 KB/s", u"1000 B/s", u"2 MB/s"}, {u"2 MB/s", u"900 KB/s", u"1000 B/s"}},
        {"code units unsigned", 0, {u"\uFFFF", u"z", u"\u00E9"}, {u"z", u"\u00E9", u"\uFFFF"}},
    };
    for (const auto& row : rows) {
        ReportList list({{u"0", 1}, {u"1", 1, true}, {u"2", 1, true}, {u"3", 1}, {u"4", 1, true}});
        for (const auto& cell : row.cells) {
            list.insertRow(list.rowCount(), u"x");
            list.setText(list.rowCount() - 1, row.column, cell);
        }
        list.sortByColumn(row.column);
        std::vector<std::u16string> got;
        for (std::size_t r = 0; r < list.rowCount(); ++r) got.push_back(list.text(r, row.column));
        EXPECT_EQ(got, row.expected) << row.name;
        list.sortByColumn(row.column);
        std::vector<std::u16string> again;
        for (std::size_t r = 0; r < list.rowCount(); ++r) again.push_back(list.text(r, row.column));
        EXPECT_EQ(again, got) << row.name << " (second click)";
    }
}

TEST(ReportListSort, SelectionFollowsItsRow) {
    ReportList list({{u"0", 1}});
    list.insertRow(0, u"b");
    list.insertRow(0, u"c");
    list.insertRow(0, u"a");
    list.setSelectedRow(1);  // "c"
    list.sortByColumn(0);
    ASSERT_TRUE(list.selectedRow());
    EXPECT_EQ(list.text(*list.selectedRow(), 0), u"c");
    list.insertRow(0, u"z");
    EXPECT_EQ(list.text(*list.selectedRow(), 0), u"c");
}

TEST_F(ListsFixture, ColumnClickSetsSortStateForEitherList) {
    lists.sortDetails(4);
    EXPECT_EQ(lists.SortState, 4);
    lists.sortApplications(1);
    EXPECT_EQ(lists.SortState, 1);
}

TEST_F(ListsFixture, DeleteAllRowsEmptiesBothListsAndNextRefreshStartsOver) {
    addApp(u"/a", 1, 1, {{1, "10.0.0.1"}});
    lists.RefreshApplications();
    lists.SelectApplicationRow(0);
    {
        const std::scoped_lock guard(records->RecordsLock);
        records->table.clear();
        lists.deleteAllRows();
    }
    EXPECT_EQ(lists.applications().rowCount(), 0u);
    EXPECT_EQ(lists.details().rowCount(), 0u);
    addApp(u"/a", 1, 1);
    lists.RefreshApplications();
    EXPECT_EQ(lists.applications().rowCount(), 1u);
}

TEST(ListRates, RateColumnsOfBothListsAndDetailsFollowingItsApplication) {
    auto records = std::make_shared<RecordsState>();
    auto clock = std::make_shared<testing::SteppedMonotonicClock>();
    MainLists lists(records, clock);
    AppTable& t = records->table;
    const auto a = t.appendApp(u"/a");
    t.appendEndpoint(a, EndpointRecord{1000, 80, 0, 0, u"192.0.2.7", {}, testing::ip("192.0.2.7"), u"TCP:", {}, false});
    for (int second = 1; second <= 3; ++second) {
        clock->advanceMs(1000);
        t.app(a).dlBytes = t.app(a).endpoints[0].dlBytes = std::uint64_t(second) * 3 * 1024;
        t.app(a).ulBytes = t.app(a).endpoints[0].ulBytes = std::uint64_t(second) * 100;
        lists.RefreshApplications();
        if (second == 1) lists.SelectApplicationRow(0);
    }
    EXPECT_EQ(lists.applications().text(0, 4), u"100 B/s");
    EXPECT_EQ(lists.applications().text(0, 5), u"3 KB/s");
    ASSERT_EQ(lists.details().rowCount(), 1u);
    EXPECT_EQ(lists.details().text(0, 2), u"9 KB");
    EXPECT_EQ(lists.details().text(0, 7), u"3 KB/s");

    // A second endpoint enters Details at the top; the first keeps counting below it.
    t.appendEndpoint(a, EndpointRecord{1001, 443, 4096, 0, u"192.0.2.8", u"b.example", testing::ip("192.0.2.8"), u"UDP:", {}, false});
    t.app(a).endpoints[0].dlBytes += 1024;
    clock->advanceMs(1000);
    lists.RefreshApplications();
    ASSERT_EQ(lists.details().rowCount(), 2u);
    EXPECT_EQ(lists.details().text(0, 0), u"UDP:1001");
    EXPECT_EQ(lists.details().text(0, 5), u"b.example");
    EXPECT_EQ(lists.details().text(1, 2), u"10 KB");

    // Another selection without a fill: Details stops following.
    t.appendApp(u"/b");
    lists.RefreshApplications();
    lists.applications().setSelectedRow(0);
    t.app(a).endpoints[0].dlBytes += 1 << 20;
    lists.RefreshApplications();
    EXPECT_EQ(lists.details().text(1, 2), u"10 KB");
}

}  // namespace
}  // namespace sondrel
