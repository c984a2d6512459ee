#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "engine/main_lists.h"
#include "engine/records.h"
#include "base/text.h"
#include "reports/csv_report.h"
#include "reports/html_report.h"

namespace sondrel {
namespace {

constexpr std::size_t kApplications = 1000;
constexpr std::size_t kEndpoints = 100;

std::shared_ptr<RecordsState> filledRecords() {
    auto records = std::make_shared<RecordsState>();
    std::uint32_t address = 0x0100000A;
    for (std::size_t a = 0; a < kApplications; ++a) {
        const std::size_t index =
            records->table.appendApp(u"/usr/lib/some-vendor/bin/application-" + decimalU16(std::uint64_t(a)));
        AppRecord& app = records->table.app(index);
        for (std::size_t e = 0; e < kEndpoints; ++e) {
            EndpointRecord endpoint;
            endpoint.protocolTag = e % 2 ? u"UDP:" : u"TCP:";
            endpoint.localPort = std::uint16_t(30000 + e);
            endpoint.remotePort = std::uint16_t(e % 3 ? 443 : 53);
            endpoint.ulBytes = (a + 1) * (e + 1) * 977;
            endpoint.dlBytes = (a + 1) * (e + 7) * 104729;
            endpoint.remoteIp = address++;
            endpoint.remoteIpText = FormatIPv4(endpoint.remoteIp);
            endpoint.remoteHostName = u"host-" + decimalU16(std::uint64_t(e)) + u".cdn.example.net";
            app.ulBytes += endpoint.ulBytes;
            app.dlBytes += endpoint.dlBytes;
            records->table.appendEndpoint(index, std::move(endpoint));
        }
    }
    return records;
}

std::string tempPath(const char* name) { return (std::filesystem::temp_directory_path() / name).string(); }

void BM_ExportHtml1000x100(benchmark::State& state) {
    MainLists lists(filledRecords());
    lists.RefreshApplications();
    const std::string path = tempPath("sondrel-bench-report.html");
    for (auto _ : state) {
        if (!ExportHtmlReport(lists, path, LocalTime{2026, 12, 6, 14, 5, 9})) state.SkipWithError("cannot create file");
    }
    state.counters["bytes"] = double(std::filesystem::file_size(path));
    std::filesystem::remove(path);
}
BENCHMARK(BM_ExportHtml1000x100)->Unit(benchmark::kMillisecond);

void BM_ExportCsv1000x100(benchmark::State& state) {
    MainLists lists(filledRecords());
    lists.RefreshApplications();
    const std::string path = tempPath("sondrel-bench-report.csv");
    for (auto _ : state) {
        if (!ExportCsvReport(lists, path)) state.SkipWithError("cannot create file");
    }
    state.counters["bytes"] = double(std::filesystem::file_size(path));
    std::filesystem::remove(path);
}
BENCHMARK(BM_ExportCsv1000x100)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sondrel

BENCHMARK_MAIN();
