#include <benchmark/benchmark.h>

#include "config/cp1251.h"
#include "config/settings.h"

namespace {

// A report line as the writers produce it: an ASCII path and a Cyrillic host name.
const std::u16string kMixedLine =
    u"/usr/lib/firefox/firefox;52344;1 KB;23 MB;93.184.216.34;443;\u0441\u0435\u0440\u0432\u0435\u0440.example\n";
const std::u16string kCyrillicLine(120, u'\u0436');

void BM_EncodeCp1251Mixed(benchmark::State& state) {
    std::string out;
    for (auto _ : state) {
        out.clear();
        benchmark::DoNotOptimize(sondrel::appendCp1251(out, kMixedLine));
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kMixedLine.size()));
}
BENCHMARK(BM_EncodeCp1251Mixed);

void BM_EncodeCp1251Cyrillic(benchmark::State& state) {
    std::string out;
    for (auto _ : state) {
        out.clear();
        benchmark::DoNotOptimize(sondrel::appendCp1251(out, kCyrillicLine));
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kCyrillicLine.size()));
}
BENCHMARK(BM_EncodeCp1251Cyrillic);

void BM_SettingsFileRoundTrip(benchmark::State& state) {
    const sondrel::Settings saved{1, u"/home/user/My Reports", 0x0A01A8C0};
    for (auto _ : state) {
        sondrel::Settings loaded;
        sondrel::decodeSettingsFile(sondrel::encodeSettingsFile(saved), loaded);
        benchmark::DoNotOptimize(loaded);
    }
}
BENCHMARK(BM_SettingsFileRoundTrip);

}  // namespace
BENCHMARK_MAIN();
