#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "app/in_process_sources.h"
#include "app/monitor.h"
#include "tests/support/stepped_clock.h"
#include "config/settings.h"
#include "engine_fakes.h"

namespace sondrel {
namespace {

namespace fs = std::filesystem;
using testing::ip;

using testing::SteppedClock;

class CountingNotifier final : public Notifier {
public:
    void showMessage(const std::u16string&, const std::u16string&, MessageIcon) override { ++messages; }
    void showCaptureLibraryMissing() override { ++missing; }
    std::atomic<int> messages{0};
    std::atomic<int> missing{0};
};

struct MonitorFixture : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("sondrel-monitor-" + std::to_string(::getpid()));
    std::shared_ptr<SteppedClock> clock = std::make_shared<SteppedClock>();
    std::shared_ptr<CountingNotifier> notifier = std::make_shared<CountingNotifier>();
    std::unique_ptr<Monitor> monitor;

    void SetUp() override {
        fs::remove_all(dir);
        fs::create_directories(dir / "reports");
        MonitorServices services;
        services.notifier = notifier;
        services.clock = clock;
        services.reverseLookup = [](const IpAddress&) { return std::optional<std::string>(); };
        services.settingsFolder = (dir / "config").string();
        services.settingsDefaults = std::make_shared<SettingsDefaults>(
            SettingsDefaults{asciiU16((dir / "reports").string()), ip("10.0.0.1")});
        services.makeSources =
            inProcessSources((dir / "no-proc").string(), [] { return CaptureLibraryLoad(CaptureLibraryFailure{}); });
        monitor = std::make_unique<Monitor>(services);
        monitor->loadSettings();
    }
    void TearDown() override {
        monitor.reset();
        fs::remove_all(dir);
    }
    static std::u16string asciiU16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

    void queueSent(std::uint16_t localPort, const char* remote, std::uint32_t length) {
        monitor->capture().queue.push({ip("10.0.0.1"), ip(remote), length, 80, localPort, 6});
    }
};

TEST_F(MonitorFixture, TickDrainsAccountsAndRefreshesTheList) {
    queueSent(5000, "192.0.2.1", 1500);
    queueSent(5000, "192.0.2.1", 500);
    monitor->tick();
    ASSERT_EQ(monitor->lists().applications().rowCount(), 1u);
    EXPECT_EQ(monitor->lists().applications().text(0, 0), u"TCP protocol");
    EXPECT_EQ(monitor->lists().applications().text(0, 1), u"1 KB");
    EXPECT_TRUE(monitor->capture().queue.records().empty());
}

TEST_F(MonitorFixture, MidnightWritesOneReportThenResets) {
    queueSent(5000, "192.0.2.1", 2048);
    monitor->tick();
    clock->set(LocalTime{2027, 2, 1, 0, 0, 0});
    monitor->tick();
    const fs::path report = dir / "reports" / "2027_01_02.csv";
    ASSERT_TRUE(fs::exists(report));
    EXPECT_TRUE(monitor->dailyDone());
    EXPECT_EQ(monitor->lists().applications().rowCount(), 0u);
    std::ifstream in(report, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(bytes.find("TCP protocol,2048,0,TCP:5000,TCP:80,192.0.2.1,,\r\n"), std::string::npos) << bytes;

    fs::remove(report);
    queueSent(5000, "192.0.2.1", 10);
    clock->set(LocalTime{2027, 2, 1, 0, 0, 30});
    monitor->tick();
    EXPECT_FALSE(fs::exists(report)) << "written twice in one minute";
    EXPECT_EQ(monitor->lists().applications().rowCount(), 1u);
    clock->set(LocalTime{2027, 2, 1, 0, 1, 0});
    monitor->tick();
    EXPECT_FALSE(monitor->dailyDone());
}

TEST_F(MonitorFixture, OptionsWithTheSameInterfaceKeepStatisticsAndSave) {
    queueSent(5000, "192.0.2.1", 100);
    monitor->tick();
    EXPECT_TRUE(monitor->applyOptions(ip("10.0.0.1"), 0, u"/tmp/x y"));
    EXPECT_EQ(monitor->lists().applications().rowCount(), 1u);
    EXPECT_EQ(monitor->settings().dailyReports, 0);
    Settings reread;
    LoadSettings(reread, monitor->settingsFolder(), SettingsDefaults{u"/default", 0});
    EXPECT_EQ(reread.reportFolder, u"/tmp/x y");
    EXPECT_EQ(reread.localAddress, ip("10.0.0.1"));
}

TEST_F(MonitorFixture, OptionsWithAnotherInterfaceResetAndRestartCapture) {
    monitor->start();
    queueSent(5000, "192.0.2.1", 100);
    monitor->tick();
    EXPECT_TRUE(monitor->applyOptions(ip("10.0.0.2"), 1, u"/r"));
    EXPECT_EQ(monitor->lists().applications().rowCount(), 0u);
    EXPECT_EQ(monitor->localAddress(), ip("10.0.0.2"));
    EXPECT_TRUE(monitor->capture().captureRunning.load());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (notifier->missing < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(notifier->missing.load(), 2) << "one capture start at start-up, one after the change";
}

TEST_F(MonitorFixture, NoNewAddressKeepsTheInterface) {
    queueSent(5000, "192.0.2.1", 100);
    monitor->tick();
    EXPECT_TRUE(monitor->applyOptions(std::nullopt, 1, u"/r"));
    EXPECT_EQ(monitor->localAddress(), ip("10.0.0.1"));
    EXPECT_EQ(monitor->lists().applications().rowCount(), 1u);
}

TEST_F(MonitorFixture, UnwritableSettingsFolderIsReported) {
    fs::remove_all(dir / "config");
    std::ofstream(dir / "config") << "a file where the folder should be";
    EXPECT_FALSE(monitor->applyOptions(std::nullopt, 1, u"/r"));
    EXPECT_EQ(monitor->settings().reportFolder, u"/r");
}

}  // namespace
}  // namespace sondrel
