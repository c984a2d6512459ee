#include <gtest/gtest.h>

#include <cstring>

#include "app/main_lists.h"
#include "engine_fakes.h"

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

TEST_F(ListsFixture, ColumnsAndWidths) {
    const auto& a = lists.applications().columns();
    ASSERT_EQ(a.size(), 4u);
    EXPECT_EQ(a[0].title, u"Application");
    EXPECT_EQ(a[0].width, 350);
    EXPECT_EQ(a[3].title, u"The last remote host");
    const auto& d = lists.details().columns();
    ASSERT_EQ(d.size(), 6u);
    EXPECT_EQ(d[4].title, u"Remote port");
    EXPECT_EQ(d[5].width, 300);
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
        {"code units unsigned", 0, {u"\uFFFF", u"z", u"\u00E9"}, {u"z", u"\u00E9", u"\uFFFF"}},
    };
    for (const auto& row : rows) {
        ReportList list({{u"0", 1}, {u"1", 1}, {u"2", 1}, {u"3", 1}});
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

}  // namespace
}  // namespace sondrel
