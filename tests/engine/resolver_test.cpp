#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine/host_name_resolver.h"
#include "tests/support/engine_fakes.h"

namespace sondrel {
namespace {

using namespace std::chrono_literals;
using testing::ip;

// Polls a condition under RecordsLock; threads report nothing else.
template <typename Pred>
bool eventually(RecordsState& state, Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            const std::scoped_lock guard(state.RecordsLock);
            if (pred(state.table)) return true;
        }
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

struct ResolverFixture : ::testing::Test {
    std::shared_ptr<RecordsState> records = std::make_shared<RecordsState>();
    EndpointRecord scratch;
    // The accounting asks with the new row; these tests look at the table instead.
    void start(HostNameResolverPool& pool, std::uint32_t address) {
        const std::scoped_lock guard(records->RecordsLock);
        pool.startResolver(IpAddress::fromIpv4(address), scratch);
    }
    void addEndpoint(const std::u16string& app, const char* remote) {
        const std::scoped_lock guard(records->RecordsLock);
        auto i = records->table.findApp(app);
        if (i == AppTable::npos) i = records->table.appendApp(app);
        records->table.appendEndpoint(i, EndpointRecord{1, 2, 0, 0, FormatIPv4(ip(remote)), {}, ip(remote), u"TCP:", {}, false});
    }
};

struct NameRow {
    const char* name;
    std::optional<std::string> answer;
    std::u16string expected;
};

TEST_F(ResolverFixture, LookupResultsAreWrittenDecodedAndBounded) {
    const NameRow rows[] = {
        {"plain", std::string("host.example"), u"host.example"},
        {"no name", std::nullopt, u""},
        {"UTF-8 decoded", std::string("\xD0\xBF\xD1\x80\xD0\xB8.example"), u"\u043F\u0440\u0438.example"},
        {"257 units fit", std::string(257, 'a'), std::u16string(257, u'a')},
        {"258 units do not fit", std::string(258, 'a'), u""},
        {"controls made visible", std::string("a\x1b[2J\xE2\x80\xAE.example"), u"a\\x1b[2J<U+202E>.example"},
    };
    for (const auto& row : rows) {
        records->table.clear();
        addEndpoint(u"/a", "192.0.2.1");
        std::atomic<bool> done{false};
        HostNameResolverPool pool(records, [&](const IpAddress&) {
            done = true;
            return row.answer;
        });
        start(pool, ip("192.0.2.1"));
        ASSERT_TRUE(eventually(*records, [&](const AppTable&) { return done && pool.running() == 0; })) << row.name;
        const std::scoped_lock guard(records->RecordsLock);
        EXPECT_EQ(records->table.app(0).endpoints[0].remoteHostName, row.expected) << row.name;
    }
}

TEST_F(ResolverFixture, OneLookupNamesTheRowsOfAllApplicationsWithThatAddress) {
    addEndpoint(u"/a", "192.0.2.1");
    addEndpoint(u"/b", "192.0.2.1");
    addEndpoint(u"/b", "192.0.2.2");
    HostNameResolverPool pool(records, [](const IpAddress& a) -> std::optional<std::string> {
        if (a.ipv4() == ip("192.0.2.1")) return "shared.example";
        return std::nullopt;
    });
    start(pool, ip("192.0.2.1"));
    start(pool, ip("192.0.2.2"));
    ASSERT_TRUE(eventually(*records, [&](const AppTable& t) {
        return pool.running() == 0 && t.app(1).endpoints[0].remoteHostName == u"shared.example";
    }));
    const std::scoped_lock guard(records->RecordsLock);
    EXPECT_EQ(records->table.app(0).endpoints[0].remoteHostName, u"shared.example");
    EXPECT_EQ(records->table.app(1).endpoints[1].remoteHostName, u"");
}

TEST_F(ResolverFixture, ThreadsAboveTheBoundAreNotStarted) {
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> calls{0};
    HostNameResolverPool pool(
        records,
        [&](const IpAddress&) -> std::optional<std::string> {
            ++calls;
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return release; });
            return std::nullopt;
        },
        4);
    for (int i = 0; i < 10; ++i) start(pool, ip("192.0.2.1") + std::uint32_t(i << 24));
    EXPECT_LE(pool.running(), 4u);
    {
        std::scoped_lock lock(m);
        release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(eventually(*records, [&](const AppTable&) { return pool.running() == 0; }));
    EXPECT_EQ(calls.load(), 4);
}

// Each address is looked up once: rows made while the look-up runs are named
// by it, rows made later from the answer kept, and an address without a name
// is not asked again (the look-ups' own traffic would otherwise feed itself).
TEST_F(ResolverFixture, EachAddressIsLookedUpOnceAndItsAnswerKept) {
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> calls{0};
    HostNameResolverPool pool(records, [&](const IpAddress& a) -> std::optional<std::string> {
        ++calls;
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return release; });
        if (a.ipv4() == ip("192.0.2.1")) return "named.example";
        return std::nullopt;
    });
    addEndpoint(u"/a", "192.0.2.1");
    start(pool, ip("192.0.2.1"));
    addEndpoint(u"/b", "192.0.2.1");
    start(pool, ip("192.0.2.1"));
    start(pool, ip("192.0.2.9"));
    start(pool, ip("192.0.2.9"));
    {
        std::scoped_lock lock(m);
        release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(eventually(*records, [&](const AppTable& t) {
        return pool.running() == 0 && t.app(1).endpoints[0].remoteHostName == u"named.example";
    }));
    EndpointRecord later;
    pool.startResolver(IpAddress::fromIpv4(ip("192.0.2.1")), later);
    pool.startResolver(IpAddress::fromIpv4(ip("192.0.2.9")), later);
    EXPECT_EQ(later.remoteHostName, u"named.example");
    EXPECT_EQ(pool.started(), 2u);
    EXPECT_EQ(calls.load(), 2);
}

TEST_F(ResolverFixture, ResolversOutliveThePoolAndTheirRecordsOwner) {
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> finished{0};
    {
        auto pool = std::make_unique<HostNameResolverPool>(records, [&](const IpAddress&) -> std::optional<std::string> {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return release; });
            ++finished;
            return "late.example";
        });
        addEndpoint(u"/a", "192.0.2.1");
        start(*pool, ip("192.0.2.1"));
    }
    std::weak_ptr<RecordsState> weak = records;
    records.reset();
    {
        std::scoped_lock lock(m);
        release = true;
    }
    cv.notify_all();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!weak.expired() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(finished.load(), 1);
}

}  // namespace
}  // namespace sondrel
