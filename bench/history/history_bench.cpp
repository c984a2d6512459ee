#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "engine/records.h"
#include "history/history_recorder.h"
#include "history/history_store.h"

namespace sondrel {
namespace {

constexpr std::size_t kApps = 1000;
constexpr std::size_t kEndpoints = 100;
const HistoryDay kToday = historyDayOf(2027, 1, 31);

// The live table at the load the recorder is sized for, every row with bytes.
void fill(AppTable& table) {
    for (std::size_t a = 0; a < kApps; ++a) {
        const std::size_t app = table.appendApp(u"/usr/lib/application-number-" + decimalU16(std::uint64_t(a)) + u"/bin/program");
        for (std::size_t e = 0; e < kEndpoints; ++e) {
            const std::uint32_t ip = htonl(0x0A000000u + std::uint32_t(e));
            EndpointRecord& row =
                table.appendEndpoint(app, EndpointRecord{1000, 443, 0, 0, FormatIPv4(ip), {}, ip, u"TCP:", {}, false});
            row.remoteHostName = u"host-" + decimalU16(std::uint64_t(e)) + u".example.net";
        }
    }
}

void touchAll(AppTable& table, std::uint64_t bytes) {
    for (std::size_t a = 0; a < table.size(); ++a) {
        for (EndpointRecord& row : table.app(a).endpoints) {
            row.ulBytes += bytes;
            row.dlBytes += bytes * 10;
        }
    }
}

std::string scratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sondrel-history-bench-XXXXXX").string();
    return ::mkdtemp(pattern.data());
}

// The walk a flush makes under RecordsLock, every one of the 100,000 rows changed.
void BM_RecorderWalk(benchmark::State& state) {
    AppTable table;
    fill(table);
    std::uint64_t rows = 0;
    for (auto _ : state) {
        state.PauseTiming();
        touchAll(table, 1);
        state.ResumeTiming();
        HistoryBatch batch = HistoryRecorder::collect(table, kToday);
        for (const HistoryAppDelta& app : batch.applications) rows += app.endpoints.size();
        benchmark::DoNotOptimize(batch);
        state.PauseTiming();
        batch = {};
        state.ResumeTiming();
    }
    state.counters["rows"] = benchmark::Counter(double(rows), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_RecorderWalk)->Unit(benchmark::kMillisecond);

// One flush's batch written by the store, after the first (ids cached, rows
// there to update); the file's size after a day of such flushes is a counter.
void BM_StoreWrite(benchmark::State& state) {
    const std::string folder = scratchFolder();
    const std::string path = folder + "/history.sqlite";
    AppTable table;
    fill(table);
    {
        auto opened = HistoryStore::open(path, kToday, LocalTime{2027, 1, 31, 0, 0, 0});
        touchAll(table, 1);
        opened.store->add({HistoryRecorder::collect(table, kToday)});
        for (auto _ : state) {
            state.PauseTiming();
            touchAll(table, 1);
            const std::vector<HistoryBatch> batches{HistoryRecorder::collect(table, kToday)};
            state.ResumeTiming();
            const HistoryWriteResult result = opened.store->add(batches);
            if (!result.ok()) state.SkipWithError(result.text.c_str());
        }
        state.counters["used_bytes"] = double(opened.store->usedBytes());
    }
    state.counters["file_bytes_one_day"] = double(std::filesystem::file_size(path));
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_StoreWrite)->Unit(benchmark::kMillisecond)->Iterations(5);

// A year of such days: what the 400-day retention and the 512 MiB bound meet.
void BM_StoreYear(benchmark::State& state) {
    const std::string folder = scratchFolder();
    const std::string path = folder + "/history.sqlite";
    AppTable table;
    fill(table);
    std::uint64_t days = 0;
    {
        auto opened = HistoryStore::open(path, kToday, LocalTime{2027, 1, 31, 0, 0, 0});
        for (auto _ : state) {
            state.PauseTiming();
            touchAll(table, 1);
            const std::vector<HistoryBatch> batches{HistoryRecorder::collect(table, kToday + HistoryDay(days++))};
            state.ResumeTiming();
            opened.store->add(batches);
        }
        state.counters["used_bytes"] = double(opened.store->usedBytes());
    }
    state.counters["days"] = double(days);
    state.counters["file_bytes"] = double(std::filesystem::file_size(path));
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_StoreYear)->Unit(benchmark::kMillisecond)->Iterations(30);

}  // namespace
}  // namespace sondrel

BENCHMARK_MAIN();
