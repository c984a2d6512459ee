#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "engine/records.h"
#include "base/text.h"
#include "metrics/exposition.h"
#include "metrics/metrics_server.h"
#include "metrics/metrics_snapshot.h"

namespace sondrel {
namespace {

// `apps` applications with path-like names and counters of every size.
std::shared_ptr<RecordsState> table(std::size_t apps) {
    auto records = std::make_shared<RecordsState>();
    std::uint64_t x = 88172645463325252ull;
    for (std::size_t i = 0; i < apps; ++i) {
        const std::size_t index =
            records->table.appendApp(asciiToU16("/usr/lib/application-number-" + std::to_string(i) + "/bin/program"));
        x ^= x << 13; x ^= x >> 7; x ^= x << 17;
        records->table.app(index).ulBytes = x % 10'000'000'000ull;
        records->table.app(index).dlBytes = (x >> 7) % 100'000'000'000ull;
    }
    return records;
}

CaptureStatus status() {
    CaptureStatus capture;
    capture.interfaceName = u"enp0s31f6";
    capture.capturing = true;
    capture.mode = AttributionMode::ProcPolling;
    return capture;
}

// How long a scrape holds RecordsLock: the copy of names and counters.
void BM_SnapshotUnderLock(benchmark::State& state) {
    const auto records = table(std::size_t(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(takeMetricsSnapshot(*records, status()));
}
BENCHMARK(BM_SnapshotUnderLock)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);

// Snapshot and text, with the default limit (200 series) and with every application a series.
void BM_SnapshotAndRender(benchmark::State& state) {
    const auto records = table(std::size_t(state.range(0)));
    MetricsExposition exposition(std::size_t(state.range(1)));
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = exposition.render(takeMetricsSnapshot(*records, status()));
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["body_bytes"] = double(bytes);
}
BENCHMARK(BM_SnapshotAndRender)->Args({1000, 200})->Args({1000, 1000})->Args({5000, 200})->Unit(benchmark::kMicrosecond);

// A whole scrape as Prometheus makes it: connect over loopback, send the
// request, read the response to its end.
void BM_ScrapeOverHttp(benchmark::State& state) {
    const auto records = table(std::size_t(state.range(0)));
    auto exposition = std::make_shared<MetricsExposition>(std::size_t(state.range(1)));
    MetricsServer server(loopbackListenAddress(0));
    if (const std::string error = server.listen(); !error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    server.start([&] { return exposition->render(takeMetricsSnapshot(*records, status())); });
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::size_t bytes = 0;
    for (auto _ : state) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            state.SkipWithError("connect failed");
            ::close(fd);
            break;
        }
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char chunk[65536];
        bytes = 0;
        for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) bytes += std::size_t(n);
        ::close(fd);
    }
    server.stop();
    state.counters["response_bytes"] = double(bytes);
}
BENCHMARK(BM_ScrapeOverHttp)->Args({1000, 200})->Args({1000, 1000})->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace sondrel

BENCHMARK_MAIN();
