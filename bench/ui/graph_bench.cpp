#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>

#include "ui/traffic_graph.h"
#include "base/text.h"

namespace sondrel {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

// A table whose every application moves bytes at every tick: each one keeps
// its ten-minute history, the worst case for memory and for the append.
struct BusyTable {
    explicit BusyTable(std::size_t apps) : meter(0) {
        for (std::size_t i = 0; i < apps; ++i) table.appendApp(asciiToU16("/usr/lib/app-" + std::to_string(i)));
    }
    void nextTick() {
        ++ticks;
        for (std::size_t i = 0; i < table.size(); ++i) {
            table.app(i).dlBytes += 1000 + (ticks * 7919 + i * 104729) % 50000;
            table.app(i).ulBytes += 100 + (ticks * 31 + i) % 3000;
        }
        meter.sample(table, ticks * kSecond);
    }
    AppTable table;
    RateMeter meter;
    std::int64_t ticks = 0;
};

// What the graph costs a tick: the history's append for every application,
// the selected application's ten minutes copied out, and the repaint.
void BM_GraphTick(benchmark::State& state) {
    BusyTable busy(std::size_t(state.range(0)));
    TrafficHistory history;
    for (std::size_t i = 0; i < TrafficHistory::kSamples; ++i) {
        busy.nextTick();
        history.append(busy.meter);
    }
    TrafficGraph graph;
    graph.resize(850, graph.sizeHint().height());
    QImage canvas(graph.size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        state.PauseTiming();
        busy.nextTick();
        state.ResumeTiming();
        history.append(busy.meter);
        std::vector<GraphPoint> points;
        points.reserve(TrafficHistory::kSamples);
        history.series(std::size_t(7), points);
        graph.setSeries(std::move(points), QStringLiteral("/usr/lib/app-7"));
        graph.render(&canvas);
    }
    state.counters["retained"] = double(history.retainedApplications());
}
BENCHMARK(BM_GraphTick)->Arg(10)->Arg(5000)->Unit(benchmark::kMicrosecond);

void BM_GraphPaint(benchmark::State& state) {
    BusyTable busy(1);
    TrafficHistory history;
    for (std::size_t i = 0; i < TrafficHistory::kSamples; ++i) {
        busy.nextTick();
        history.append(busy.meter);
    }
    std::vector<GraphPoint> points;
    history.series(std::nullopt, points);
    TrafficGraph graph;
    graph.resize(850, graph.sizeHint().height());
    graph.setSeries(points, QStringLiteral("All applications"));
    QImage canvas(graph.size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) graph.render(&canvas);
}
BENCHMARK(BM_GraphPaint)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace sondrel

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
