#include "tests/support/owner_discovery.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/temp_proc_tree.h"

namespace sondrel {
namespace {

using namespace std::chrono_literals;
using testing::fixturePath;
using testing::TempProcTree;

constexpr auto kGenerous = std::chrono::seconds(20);

struct Message {
    std::u16string caption;
    std::u16string text;
    MessageIcon icon;
    bool operator==(const Message&) const = default;
};

class RecordingNotifier final : public Notifier {
public:
    ~RecordingNotifier() override { m_destroyed.set_value(); }

    void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) override {
        {
            const std::scoped_lock guard(m_lock);
            m_messages.push_back({caption, text, icon});
        }
        m_changed.notify_all();
    }
    void showCaptureLibraryMissing() override {}

    std::vector<Message> messages() const {
        const std::scoped_lock guard(m_lock);
        return m_messages;
    }
    bool waitForMessages(std::size_t count) const {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, kGenerous, [&] { return m_messages.size() >= count; });
    }
    std::future<void> destroyed() { return m_destroyed.get_future(); }

private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<Message> m_messages;
    std::promise<void> m_destroyed;
};

TEST(StartOwnerDiscovery, WarnsOnceWhenTablesCannotBeRead) {
    const struct {
        const char* name;
        const char* removed;
    } rows[] = {
        {"no tcp table", "net/tcp"},
        {"no udp table", "net/udp"},
        {"no net folder", "net"},
    };
    for (const auto& row : rows) {
        TempProcTree tree("basic");
        tree.remove(row.removed);
        auto notifier = std::make_shared<RecordingNotifier>();
        OwnerDiscovery discovery(tree.root(), notifier);
        EXPECT_EQ(discovery.StartOwnerDiscovery(), -1) << row.name;
        EXPECT_FALSE(discovery.DiscoveryEnabled()) << row.name;
        const std::vector<Message> expected = {
            {u"Warning", u"Process names will not be shown - requires a readable /proc file system.", MessageIcon::Warning}};
        EXPECT_EQ(notifier->messages(), expected) << row.name;
        EXPECT_EQ(discovery.OwnerLookup(53, 17), u"UDP protocol") << row.name;
        EXPECT_EQ(discovery.OwnerLookup(80, 6), u"TCP protocol") << row.name;
    }
}

class RunningDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(discovery.StartOwnerDiscovery(), 0);
        ASSERT_TRUE(discovery.waitForPasses(1, kGenerous));
    }

    TempProcTree tree{"basic"};
    std::shared_ptr<RecordingNotifier> notifier = std::make_shared<RecordingNotifier>();
    OwnerDiscovery discovery{tree.root(), notifier};
};

TEST_F(RunningDiscoveryTest, AnswersFromTheMapAndNamesOtherProtocols) {
    const struct {
        const char* name;
        std::uint16_t port;
        std::uint16_t protocol;
        std::u16string expected;
    } rows[] = {
        {"tcp listener", 9090, 6, u"/opt/web/bin/httpd"},
        {"tcp6 listener", 8080, 6, u"/opt/web/bin/httpd"},
        {"tcp and udp on one port number: tcp owner", 80, 6, u"/opt/web/bin/httpd"},
        {"tcp and udp on one port number: udp owner", 80, 17, u"dnsd"},
        {"tcp port", 22, 6, u"kworker (odd)"},
        {"udp asked about a port only tcp holds", 22, 17, u"UDP protocol"},
        {"udp6 row", 5353, 17, u"worker: idle"},
        {"unowned socket", 443, 6, u"TCP protocol"},
        {"time-wait row", 8081, 6, u"TCP protocol"},
        {"port never seen, tcp", 1, 6, u"TCP protocol"},
        {"port never seen, udp", 65535, 17, u"UDP protocol"},
        {"icmp ignores the port", 80, 1, u"ICMP protocol"},
        {"gre", 0, 47, u"GRE protocol"},
        {"unnamed protocol", 53, 255, u"IP protocol #255"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(discovery.OwnerLookup(row.port, row.protocol), row.expected) << row.name;
    }
    EXPECT_TRUE(notifier->messages().empty());
}

TEST_F(RunningDiscoveryTest, PortKeepsLabelAfterSocketCloses) {
    tree.remove("420");
    tree.writeFile("net/udp", "");
    ASSERT_TRUE(discovery.waitForPasses(discovery.completedPasses() + 2, kGenerous));
    EXPECT_EQ(discovery.OwnerLookup(53, 17), u"dnsd");
}

// Its descriptors closed on the way out, its socket still listed: the
// socket stays the exiting process's.
TEST_F(RunningDiscoveryTest, ExitingOwnerKeepsItsSocket) {
    tree.remove("420/fd");
    ASSERT_TRUE(discovery.waitForPasses(discovery.completedPasses() + 2, kGenerous));
    EXPECT_EQ(discovery.OwnerLookup(53, 17), u"dnsd");
}

TEST_F(RunningDiscoveryTest, StoppingStopsAnsweringFromTheMap) {
    discovery.StopOwnerDiscovery();
    EXPECT_TRUE(discovery.waitForWorkerEnd(kGenerous));
    EXPECT_EQ(discovery.OwnerLookup(9090, 6), u"TCP protocol");
    EXPECT_EQ(discovery.OwnerLookup(53, 17), u"UDP protocol");
}

TEST_F(RunningDiscoveryTest, LostTcpTableShowsErrorAndEndsWorkerKeepingLabels) {
    tree.remove("net/tcp");
    ASSERT_TRUE(discovery.waitForWorkerEnd(kGenerous));
    const std::vector<Message> expected = {{u"ERROR", u"Failed to get TCP Table #1", MessageIcon::None}};
    EXPECT_EQ(notifier->messages(), expected);
    EXPECT_TRUE(discovery.DiscoveryEnabled());
    EXPECT_EQ(discovery.OwnerLookup(9090, 6), u"/opt/web/bin/httpd");
}

TEST_F(RunningDiscoveryTest, LostUdpTableEndsWorkerSilently) {
    tree.remove("net/udp");
    ASSERT_TRUE(discovery.waitForWorkerEnd(kGenerous));
    EXPECT_TRUE(notifier->messages().empty());
    EXPECT_EQ(discovery.OwnerLookup(53, 17), u"dnsd");
}

TEST_F(RunningDiscoveryTest, SecondStartRunsNoSecondWorker) {
    ASSERT_EQ(discovery.workersRunning(), 1);
    EXPECT_EQ(discovery.StartOwnerDiscovery(), 0);
    EXPECT_EQ(discovery.workersRunning(), 1);
    discovery.StopOwnerDiscovery();
    EXPECT_TRUE(discovery.waitForWorkerEnd(kGenerous));
    EXPECT_EQ(discovery.workersRunning(), 0);
}

TEST(OwnerDiscovery, DestroyedDuringPassesReleasesStateWhenWorkerEnds) {
    TempProcTree tree("basic");
    auto notifier = std::make_shared<RecordingNotifier>();
    std::future<void> notifierGone = notifier->destroyed();
    {
        OwnerDiscovery discovery(tree.root(), std::move(notifier));
        ASSERT_EQ(discovery.StartOwnerDiscovery(), 0);
    }
    EXPECT_EQ(notifierGone.wait_for(kGenerous), std::future_status::ready);
}

TEST(OwnerDiscovery, LookupBeforeStartUsesProtocolNames) {
    const OwnerDiscovery discovery(fixturePath("proc/basic"), std::make_shared<RecordingNotifier>());
    EXPECT_EQ(discovery.OwnerLookup(9090, 6), u"TCP protocol");
    EXPECT_EQ(discovery.OwnerLookup(9090, 17), u"UDP protocol");
    EXPECT_EQ(discovery.OwnerLookup(9090, 4), u"IP in IP protocol ");
}

}  // namespace
}  // namespace sondrel
