#include "app/engine_metrics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "tests/support/in_process_sources.h"
#include "engine/monitor.h"
#include "config/settings.h"
#include "tests/support/engine_fakes.h"
#include "tests/support/stepped_clock.h"

namespace sondrel {
namespace {

namespace fs = std::filesystem;
using testing::ip;

std::uint64_t sampleValue(const std::string& text, const std::string& key) {
    const std::size_t at = text.find("\n" + key + " ");
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + key.size() + 2));
}

// Scrapes run on their own thread while the tick accounts and the midnight
// report resets: the counter only grows, but for the one reset, and the last
// scrape shows the exact sum of the new day.
TEST(EngineMetrics, ScrapesWhileTheTickAccountsAndResets) {
    const fs::path dir = fs::temp_directory_path() / ("sondrel-engine-metrics-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "reports");
    auto clock = std::make_shared<testing::SteppedClock>();
    MonitorServices services;
    services.clock = clock;
    services.reverseLookup = [](const IpAddress&) { return std::optional<std::string>(); };
    services.settingsFolder = (dir / "config").string();
    const std::string reports = (dir / "reports").string();
    services.settingsDefaults =
        std::make_shared<SettingsDefaults>(SettingsDefaults{std::u16string(reports.begin(), reports.end()), ip("10.0.0.1")});
    services.makeSources =
        inProcessSources((dir / "no-proc").string(), [] { return CaptureLibraryLoad(CaptureLibraryFailure{}); });
    Monitor monitor(services);
    monitor.loadSettings();

    const MetricsServer::BodySource source = engineMetricsSource(monitor, 10);
    const std::string key = "sondrel_application_transmit_bytes_total{application=\"TCP protocol\"}";
    std::atomic<bool> done{false};
    int decreases = 0;
    std::thread scraper([&] {
        std::uint64_t last = 0;
        while (!done.load()) {
            const std::uint64_t value = sampleValue(source(), key);
            if (value < last) ++decreases;
            last = value;
        }
    });
    const auto tickWith = [&](int packets) {
        for (int i = 0; i < packets; ++i) monitor.capture().queue.push({ip("10.0.0.1"), ip("192.0.2.1"), 100, 80, 5000, 6});
        monitor.tick();
    };
    for (int round = 0; round < 200; ++round) tickWith(1 + round % 3);
    clock->set(LocalTime{2027, 2, 1, 0, 0, 0});
    tickWith(0);  // the daily report and the reset
    clock->set(LocalTime{2027, 2, 1, 0, 1, 0});
    tickWith(3);
    done = true;
    scraper.join();

    EXPECT_LE(decreases, 1);
    EXPECT_EQ(sampleValue(source(), key), 300u);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace sondrel
