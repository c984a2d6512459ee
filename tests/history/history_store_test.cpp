#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <random>

#include "history_fixture.h"

namespace sondrel {
namespace {

using testing::TempFolder;

HistoryBatch oneRow(HistoryDay day, const std::u16string& app, const std::u16string& remote, std::uint64_t ul,
                    std::uint64_t dl) {
    return HistoryBatch{day, {HistoryAppDelta{app, {HistoryEndpointDelta{remote, {}, ul, dl}}}}};
}

void sql(const std::string& path, const char* statements) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, statements, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

// A history file of ours with `days` days of 200 rows each, closed.
void makeHistory(const std::string& path, int days) {
    auto opened = testing::openStore(path);
    ASSERT_TRUE(opened.store);
    for (int d = 0; d < days; ++d) {
        HistoryBatch batch{historyDayOf(2027, 1, 31) - d, {{u"app", {}}}};
        for (int r = 0; r < 200; ++r)
            batch.applications[0].endpoints.push_back({u"198.51.100." + decimalU16(std::uint64_t(r)), {}, 1, 2});
        ASSERT_TRUE(opened.store->add({batch}).ok());
    }
}

struct CorruptCase {
    const char* name;
    std::function<void(const std::string& path)> make;
    bool movedAside;
};

TEST(HistoryStore, UnreadableFileIsMovedAsideAndAFreshOneStarted) {
    const std::vector<CorruptCase> cases{
        {"random bytes",
         [](const std::string& path) {
             std::mt19937 random(7);
             std::string bytes(8192, '\0');
             for (char& c : bytes) c = char(random());
             testing::writeBytes(path, bytes);
             testing::writeBytes(path + "-wal", "log");
         },
         true},
        {"short text", [](const std::string& path) { testing::writeBytes(path, "not a database\n"); }, true},
        {"another program's SQLite file", [](const std::string& path) { sql(path, "CREATE TABLE t(x); INSERT INTO t VALUES(1)"); }, true},
        {"another application_id",
         [](const std::string& path) { sql(path, "PRAGMA application_id=1234; CREATE TABLE t(x)"); }, true},
        {"newer schema",
         [](const std::string& path) {
             makeHistory(path, 1);
             sql(path, "PRAGMA user_version=99");
         },
         true},
        {"truncated",
         [](const std::string& path) {
             makeHistory(path, 30);
             std::filesystem::resize_file(path, std::filesystem::file_size(path) / 2);
         },
         true},
        {"empty file", [](const std::string& path) { testing::writeBytes(path, ""); }, false},
        {"our own file", [](const std::string& path) { makeHistory(path, 2); }, false},
    };
    for (const CorruptCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const std::string path = folder.file("history.sqlite");
        c.make(path);
        const std::string before = testing::readBytes(path);
        const bool hadLog = std::filesystem::exists(path + "-wal");

        auto opened = testing::openStore(path);
        ASSERT_TRUE(opened.store);
        const HistoryRange all{historyDayOf(2026, 1, 1), historyDayOf(2027, 12, 31)};
        if (c.movedAside) {
            EXPECT_EQ(opened.movedTo, path + ".corrupt-20270131-120005");
            EXPECT_EQ(testing::readBytes(opened.movedTo), before);
            // SQLite may have emptied a log it could not read, but the log goes with its file.
            EXPECT_EQ(std::filesystem::exists(opened.movedTo + "-wal"), hadLog);
            EXPECT_FALSE(std::filesystem::exists(path + "-wal") && testing::readBytes(path + "-wal") == "log");
            const std::u16string head = u"The history file " + utf8ToU16(path) + u" could not be read (";
            const std::u16string tail = u"); it was moved to " + utf8ToU16(opened.movedTo) + u" and a new one started.";
            EXPECT_EQ(opened.message.substr(0, head.size()), head);
            EXPECT_TRUE(opened.message.ends_with(tail)) << u16ToUtf8(opened.message);
            EXPECT_TRUE(opened.store->applications(all).empty());
        } else {
            EXPECT_TRUE(opened.movedTo.empty());
            EXPECT_TRUE(opened.message.empty());
        }
        const std::size_t kept = c.movedAside || std::string_view(c.name) == "empty file" ? 0 : 1;
        EXPECT_EQ(opened.store->applications(all).size(), kept);
        ASSERT_TRUE(opened.store->add({oneRow(historyDayOf(2027, 1, 31), u"new", u"192.0.2.1", 5, 6)}).ok());
        const auto apps = opened.store->applications(all);
        ASSERT_EQ(apps.size(), kept + 1);
        EXPECT_EQ(apps.back().name, u"new");
        EXPECT_EQ(apps.back().dlBytes, 6u);
    }
}

TEST(HistoryStore, ATakenFolderIsNoHistoryAndNothingMoved) {
    TempFolder folder;
    const std::string path = folder.file("history.sqlite");
    std::filesystem::create_directory(path);
    const auto opened = testing::openStore(path);
    EXPECT_FALSE(opened.store);
    EXPECT_TRUE(opened.movedTo.empty());
    EXPECT_NE(opened.message.find(u"could not be opened"), std::u16string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

TEST(HistoryStore, RetentionAndSizeBoundDropTheOldestDays) {
    TempFolder folder;
    const std::string path = folder.file("history.sqlite");
    makeHistory(path, 30);
    const HistoryRange all{historyDayOf(2026, 1, 1), historyDayOf(2027, 12, 31)};
    {
        auto opened = testing::openStore(path, HistoryStoreOptions{10, std::uint64_t(512) << 20});
        const auto days = opened.store->days(all);
        ASSERT_EQ(days.size(), 10u);
        EXPECT_EQ(days.front().day, historyDayOf(2027, 1, 22));
        EXPECT_EQ(days.back().day, historyDayOf(2027, 1, 31));
    }
    auto opened = testing::openStore(path, HistoryStoreOptions{400, 64 * 1024});
    ASSERT_TRUE(opened.store->add({oneRow(historyDayOf(2027, 1, 31), u"app", u"192.0.2.1", 1, 1)}).ok());
    const auto days = opened.store->days(all);
    ASSERT_FALSE(days.empty());
    EXPECT_LT(days.size(), 10u);
    EXPECT_EQ(days.back().day, historyDayOf(2027, 1, 31));
    EXPECT_LE(opened.store->usedBytes(), 64 * 1024 / 10 * 9);
    EXPECT_LE(std::filesystem::file_size(path), 64u * 1024);
}

TEST(HistoryStore, FullFileFailsTheWholeBatchWithATypedError) {
    TempFolder folder;
    auto opened = testing::openStore(folder.file("history.sqlite"));
    const HistoryDay day = historyDayOf(2027, 1, 31);
    ASSERT_TRUE(opened.store->add({oneRow(day, u"app", u"192.0.2.1", 1, 1)}).ok());
    opened.store->setPageLimit(1);
    HistoryBatch big{day, {{u"app", {}}, {u"other app", {}}}};
    for (int r = 0; r < 2000; ++r)
        big.applications[1].endpoints.push_back({u"2001:db8::" + decimalU16(std::uint64_t(r)), u"host", 1, 1});
    big.applications[0].endpoints.push_back({u"192.0.2.1", {}, 10, 10});
    const HistoryWriteResult result = opened.store->add({big});
    EXPECT_EQ(result.error, HistoryWriteError::Full);
    const HistoryRange today{day, day};
    ASSERT_EQ(opened.store->applications(today).size(), 1u);
    EXPECT_EQ(opened.store->applications(today)[0].ulBytes, 1u);
    opened.store->setPageLimit(0);
    EXPECT_TRUE(opened.store->add({big}).ok());
    EXPECT_EQ(opened.store->endpoints(today, u"other app").size(), 2000u);
}

TEST(HistoryStore, DefaultPaths) {
    EXPECT_EQ(defaultHistoryPath(true, "/x", "/home/u"), "/var/lib/sondrel/history.sqlite");
    EXPECT_EQ(defaultHistoryPath(false, "/x", "/home/u"), "/x/sondrel/history.sqlite");
    EXPECT_EQ(defaultHistoryPath(false, "relative", "/home/u"), "/home/u/.local/share/sondrel/history.sqlite");
    EXPECT_EQ(defaultHistoryPath(false, "", "/home/u"), "/home/u/.local/share/sondrel/history.sqlite");
    EXPECT_EQ(defaultHistoryPath(false, "", ""), "");
}

}  // namespace
}  // namespace sondrel
