#include <gtest/gtest.h>

#include <cmath>

#include "engine/rate_meter.h"
#include "engine/traffic_history.h"

namespace sondrel {
namespace {

constexpr std::int64_t kMs = 1'000'000;

// One tick of a scenario: when it runs and the DL totals the table then holds
// (one per application; each application's endpoint 0 carries a tenth of it).
struct Tick {
    std::int64_t atMs;
    std::vector<std::uint64_t> dl;
    enum Event { Sample, ResetBefore, ClearWithoutRestart } event = Sample;
};

struct RateCase {
    const char* name;
    std::vector<Tick> ticks;
    std::size_t app;
    double windowDl;  // expected after the last tick, bytes per second
};

void setTotals(AppTable& table, const std::vector<std::uint64_t>& dl) {
    for (std::size_t i = table.size(); i < dl.size(); ++i) {
        table.appendApp(u"/app" + std::u16string(1, char16_t(u'0' + i)));
        table.appendEndpoint(i, EndpointRecord{1000, 80, 0, 0, u"192.0.2.1", {}, 0x010200C0u, u"TCP:", {}, false});
    }
    for (std::size_t i = 0; i < dl.size(); ++i) {
        table.app(i).dlBytes = dl[i];
        table.app(i).endpoints[0].dlBytes = dl[i] / 10;
    }
}

void PrintTo(const RateCase& c, std::ostream* out) { *out << c.name; }

class RateArithmetic : public ::testing::TestWithParam<RateCase> {};

TEST_P(RateArithmetic, GrowthOverTheWindowByRealElapsedTime) {
    const RateCase& c = GetParam();
    AppTable table;
    RateMeter meter(0);
    for (const Tick& tick : c.ticks) {
        if (tick.event != Tick::Sample) {
            table.clear();
            if (tick.event == Tick::ResetBefore) meter.restart(table, tick.atMs * kMs - 500 * kMs);
        }
        setTotals(table, tick.dl);
        meter.sample(table, tick.atMs * kMs);
    }
    EXPECT_NEAR(meter.applicationRate(c.app).dl, c.windowDl, 1e-6);
    EXPECT_NEAR(meter.endpointRate(c.app, 0).dl, c.windowDl / 10, 1.0);
    EXPECT_EQ(meter.applicationRate(c.app).ul, 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Ticks, RateArithmetic,
    ::testing::Values(
        RateCase{"steady", {{1000, {1000}}, {2000, {2000}}, {3000, {3000}}, {4000, {4000}}}, 0, 1000},
        RateCase{"first tick measured from the start", {{1000, {500}}}, 0, 500},
        RateCase{"window shorter than three ticks at the start", {{1000, {100}}, {2000, {300}}}, 0, 150},
        // Three ticks that took five seconds: 5000 B / 5 s, not / 3 s.
        RateCase{"late tick divides by real time", {{1000, {1000}}, {2000, {2000}}, {5000, {5000}}}, 0, 1000},
        RateCase{"window moves on by one tick", {{1000, {0}}, {2000, {900}}, {3000, {900}}, {4000, {1200}}}, 0, 400},
        RateCase{"window forgets a burst three ticks old",
                 {{1000, {1 << 20}}, {2000, {1 << 20}}, {3000, {1 << 20}}, {4000, {1 << 20}}}, 0, 0},
        // Before it appeared its total was 0, and the window is the same for every row.
        RateCase{"appears mid-window: whole window, zero before", {{1000, {10}}, {2000, {20}}, {3000, {30, 3000}}}, 1,
                 1000},
        RateCase{"appeared one tick before the window moved on",
                 {{1000, {10}}, {2000, {20}}, {3000, {30, 3000}}, {4000, {40, 4000}}}, 1, 4000.0 / 3},
        // Restarted 500 ms before the tick: 100 B in 0.5 s, not the drop from 10 MB.
        RateCase{"reset starts again from zero",
                 {{1000, {10 << 20}}, {2000, {20 << 20}}, {3000, {100}, Tick::ResetBefore}}, 0, 200},
        RateCase{"two ticks after a reset", {{1000, {10 << 20}}, {2000, {100}, Tick::ResetBefore}, {3000, {400}}}, 0,
                 400.0 / 1.5},
        RateCase{"table cleared behind its back reads 0",
                 {{1000, {10 << 20}}, {2000, {20 << 20}}, {3000, {100}, Tick::ClearWithoutRestart}}, 0, 0},
        RateCase{"clock standing still adds no time", {{1000, {100}}, {1000, {200}}}, 0, 200},
        RateCase{"row never sampled reads 0", {{1000, {100}}}, 7, 0}),
    [](const ::testing::TestParamInfo<RateCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

TEST(RateMeter, TotalIsEveryApplicationTogether) {
    AppTable table;
    RateMeter meter(0);
    setTotals(table, {0, 0});
    meter.sample(table, 1000 * kMs);
    setTotals(table, {3000, 6000});
    table.app(1).ulBytes = 2000;
    meter.sample(table, 2000 * kMs);
    EXPECT_EQ(meter.totalRate(), (ByteRate{1000, 4500}));
}

TEST(FormatByteRate, ByteNotationTruncatedWithPerSecond) {
    const struct {
        double rate;
        std::u16string text;
    } rows[] = {{0, u"0 B/s"},          {0.9, u"0 B/s"},        {1023.9, u"1023 B/s"}, {1024, u"1 KB/s"},
                {12.5 * 1024, u"12 KB/s"}, {1048576, u"1 MB/s"}, {-5, u"0 B/s"},       {std::nan(""), u"0 B/s"},
                {1e30, u"16777215 GB/s"}};
    for (const auto& row : rows) EXPECT_EQ(FormatByteRate(row.rate), row.text) << row.rate;
}

TEST(TrafficHistory, KeepsTenMinutesAndOnlyBusyApplications) {
    AppTable table;
    RateMeter meter(0);
    TrafficHistory history;
    std::vector<GraphPoint> points;
    // App 0 moves 1000 B every second for 100 s, then stops; app 1 never moves anything.
    for (int second = 1; second <= 800; ++second) {
        setTotals(table, {std::uint64_t(std::min(second, 100)) * 1000, 0});
        meter.sample(table, second * 1000 * kMs);
        history.append(meter);
        if (second == 100) {
            history.series(0, points);
            ASSERT_EQ(points.size(), 100u);
            EXPECT_EQ(points.front().timeNs, 1000 * kMs);
            EXPECT_EQ(points.back().dl, 1000.0f);
            EXPECT_EQ(history.retainedApplications(), 1u);
        }
    }
    history.series(std::nullopt, points);
    ASSERT_EQ(points.size(), TrafficHistory::kSamples);
    EXPECT_EQ(points.front().timeNs, 201 * 1000 * kMs);
    EXPECT_EQ(points.back().timeNs, 800 * 1000 * kMs);
    // Ten quiet minutes later app 0's samples are all 0 and have been given back.
    EXPECT_EQ(history.retainedApplications(), 0u);
    history.series(0, points);
    ASSERT_EQ(points.size(), TrafficHistory::kSamples);
    for (const GraphPoint& p : points) EXPECT_EQ(p.dl, 0.0f);
}

TEST(TrafficHistory, ResetDropsApplicationsButTheInterfaceLineGoesOn) {
    AppTable table;
    RateMeter meter(0);
    TrafficHistory history;
    setTotals(table, {5000});
    meter.sample(table, 1000 * kMs);
    history.append(meter);
    table.clear();
    meter.restart(table, 1500 * kMs);
    setTotals(table, {0, 500});
    meter.sample(table, 2000 * kMs);
    history.append(meter);
    std::vector<GraphPoint> points;
    history.series(std::nullopt, points);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[0].dl, 5000.0f);
    EXPECT_EQ(points[1].dl, 1000.0f);  // 500 B in the 0.5 s since the reset
    history.series(0, points);
    EXPECT_EQ(points[0].dl, 0.0f);  // index 0 is another application now
    history.series(1, points);
    EXPECT_EQ(points[1].dl, 1000.0f);
}

}  // namespace
}  // namespace sondrel
