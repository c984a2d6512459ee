#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <future>
#include <mutex>
#include <thread>

#include "tests/support/in_process_sources.h"
#include "engine/monitor.h"
#include "tests/support/stepped_clock.h"
#include "config/interface_choice.h"
#include "config/settings.h"
#include "tests/support/engine_fakes.h"
#include "tests/support/idle_capture_library.h"

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

TEST_F(MonitorFixture, FailedReportKeepsTheStatisticsAndIsTriedAgainNextMinute) {
    fs::remove_all(dir / "reports");
    queueSent(5000, "192.0.2.1", 2048);
    monitor->tick();
    const auto at = [&](int minute, int second) {
        clock->set(LocalTime{2027, 2, 1, 0, minute, second});
        monitor->tick();
    };
    at(0, 0);
    EXPECT_EQ(monitor->lists().applications().rowCount(), 1u) << "nothing may be lost";
    EXPECT_TRUE(monitor->dailyReportPending());
    EXPECT_EQ(notifier->messages.load(), 1);
    at(0, 30);
    at(1, 0);
    EXPECT_EQ(notifier->messages.load(), 1) << "told once while it keeps failing";
    fs::create_directories(dir / "reports");
    queueSent(5000, "192.0.2.1", 1024);
    at(2, 0);
    EXPECT_FALSE(monitor->dailyReportPending());
    EXPECT_EQ(monitor->lists().applications().rowCount(), 0u);
    std::ifstream in(dir / "reports" / "2027_01_02.csv", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(bytes.find("TCP protocol,3072,0,TCP:5000,TCP:80,192.0.2.1,,\r\n"), std::string::npos) << bytes;
}

// A packet queued after the drain belongs to the statistics being discarded.
TEST_F(MonitorFixture, ResetDiscardsQueuedPacketsToo) {
    queueSent(5000, "192.0.2.1", 100);
    monitor->tick();
    queueSent(5000, "192.0.2.1", 7);
    {
        const std::scoped_lock guard(monitor->capture().queue.QueueLock);
        monitor->ResetStatistics();
        EXPECT_TRUE(monitor->capture().queue.records().empty());
    }
    monitor->tick();
    EXPECT_EQ(monitor->lists().applications().rowCount(), 0u);
}

TEST_F(MonitorFixture, OptionsWithTheSameInterfaceKeepStatisticsAndSave) {
    queueSent(5000, "192.0.2.1", 100);
    monitor->tick();
    EXPECT_TRUE(monitor->applyOptions(CaptureSet::ofAddress(ip("10.0.0.1")), 0, u"/tmp/x y"));
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
    EXPECT_TRUE(monitor->applyOptions(CaptureSet::ofAddress(ip("10.0.0.2")), 1, u"/r"));
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

TEST_F(MonitorFixture, AWiderChoiceLivesBesideTheUnchangedSettingsFile) {
    const std::string folder = monitor->settingsFolder();
    const auto settingsBytes = [&] {
        std::ifstream in(SettingsFilePath(folder), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    const CaptureSet address = CaptureSet::ofAddress(ip("10.0.0.1"));
    ASSERT_TRUE(monitor->applyOptions(address, 1, u"/r"));
    const std::string oneAddress = settingsBytes();
    ASSERT_FALSE(oneAddress.empty());

    const struct {
        const char* name;
        CaptureSet chosen;
        std::optional<CaptureSet> saved;  // what the interface file holds
    } steps[] = {
        {"all", CaptureSet::all(), CaptureSet::all()},
        {"a list", {CaptureSet::Kind::Names, 0, {"eth0", "wg0"}}, CaptureSet{CaptureSet::Kind::Names, 0, {"eth0", "wg0"}}},
        {"the address again", address, std::nullopt},
    };
    for (const auto& step : steps) {
        EXPECT_TRUE(monitor->applyOptions(step.chosen, 1, u"/r")) << step.name;
        EXPECT_EQ(settingsBytes(), oneAddress) << step.name;
        EXPECT_EQ(loadInterfaceChoice(folder), step.saved) << step.name;
        EXPECT_EQ(fs::exists(interfaceChoicePath(folder)), step.saved.has_value()) << step.name;
        monitor->loadSettings();
        EXPECT_EQ(monitor->captureSet(), step.chosen) << step.name;
    }

    // --interfaces holds for the run and writes nothing.
    monitor->setInterfaceOverride(CaptureSet::all());
    monitor->loadSettings();
    EXPECT_EQ(monitor->captureSet(), CaptureSet::all());
    EXPECT_FALSE(fs::exists(interfaceChoicePath(folder)));
    EXPECT_EQ(settingsBytes(), oneAddress);
}

TEST_F(MonitorFixture, UnwritableSettingsFolderIsReported) {
    fs::remove_all(dir / "config");
    std::ofstream(dir / "config") << "a file where the folder should be";
    EXPECT_FALSE(monitor->applyOptions(std::nullopt, 1, u"/r"));
    EXPECT_EQ(monitor->settings().reportFolder, u"/r");
}

// The host-name lookup behind the default address may wait for DNS for
// seconds: it runs only when the settings file holds no address, and never on
// the thread that starts the window; capture starts once the address is known.
// The old capture may sit in a dispatch on an idle interface: choosing another
// interface must wake it, or it would never end.
TEST(MonitorOptions, AnotherInterfaceEndsTheCaptureWaitingOnAnIdleOne) {
    const fs::path dir = fs::temp_directory_path() / ("sondrel-idle-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    MonitorServices services;
    services.notifier = std::make_shared<CountingNotifier>();
    services.clock = std::make_shared<SteppedClock>();
    services.settingsFolder = (dir / "config").string();
    services.settingsDefaults = std::make_shared<SettingsDefaults>(SettingsDefaults{u"/tmp", ip(testing::kIdleAddress)});
    services.makeSources = inProcessSources((dir / "no-proc").string(), testing::idleLibrary);
    Monitor monitor(services);
    monitor.loadSettings();
    monitor.start();
    testing::IdleInterface& idle = testing::idle();
    {
        std::unique_lock guard(idle.lock);
        ASSERT_TRUE(idle.changed.wait_for(guard, std::chrono::seconds(20), [&] { return idle.dispatching; }));
    }
    monitor.applyOptions(CaptureSet::ofAddress(ip("10.0.0.2")), 1, u"/tmp");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        {
            const std::scoped_lock guard(idle.lock);
            if (idle.closed) break;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the old capture still waits on the idle interface";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    monitor.stop();
    fs::remove_all(dir);
}

TEST(MonitorStartUp, DefaultAddressIsLookedUpOnAWorkerOnlyWhenTheFileHasNone) {
    struct Row {
        const char* name;
        std::optional<std::string> file;  // conf01.dat; none: no file
        bool lookedUp;
    };
    const Row rows[] = {
        {"no settings file", std::nullopt, true},
        {"file with an address", "1 /r 83886090", false},  // 10.0.0.5
        {"file without an address", "1 /r", true},
        {"file with address 0", "1 /r 0", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path dir = fs::temp_directory_path() / ("sondrel-startup-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "config");
        if (row.file) std::ofstream(dir / "config" / "conf01.dat", std::ios::binary) << *row.file;

        // The lookup answers only once released, and notes where it ran.
        auto release = std::make_shared<std::promise<void>>();
        auto lookups = std::make_shared<std::atomic<int>>(0);
        auto onAWorker = std::make_shared<std::atomic<bool>>(false);
        auto notifier = std::make_shared<CountingNotifier>();
        MonitorServices services;
        services.notifier = notifier;
        services.clock = std::make_shared<SteppedClock>();
        services.settingsFolder = (dir / "config").string();
        services.makeSources =
            inProcessSources((dir / "no-proc").string(), [] { return CaptureLibraryLoad(CaptureLibraryFailure{}); });
        services.lookUpDefaultAddress = [released = release->get_future().share(), lookups, onAWorker,
                                         starter = std::this_thread::get_id()] {
            ++*lookups;
            *onAWorker = std::this_thread::get_id() != starter;
            released.wait_for(std::chrono::seconds(20));
            return ip("10.0.0.9");
        };
        Monitor monitor(services);
        monitor.loadSettings();
        monitor.start();
        EXPECT_EQ(monitor.defaultAddressPending(), row.lookedUp);
        if (row.lookedUp) {
            EXPECT_EQ(monitor.localAddress(), 0u) << "0 until the answer comes";
            release->set_value();
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (monitor.localAddress() == 0 && std::chrono::steady_clock::now() < deadline) {
                monitor.tick();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            EXPECT_EQ(monitor.localAddress(), ip("10.0.0.9"));
            EXPECT_TRUE(onAWorker->load());
        } else {
            EXPECT_EQ(monitor.localAddress(), ip("10.0.0.5"));
        }
        EXPECT_EQ(lookups->load(), row.lookedUp ? 1 : 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (notifier->missing.load() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(notifier->missing.load(), 1) << "capture started once, with the address known";
        monitor.stop();
        fs::remove_all(dir);
    }
}

}  // namespace
}  // namespace sondrel
