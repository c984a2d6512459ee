#include <benchmark/benchmark.h>

#include <chrono>
#include <mutex>
#include <random>
#include <vector>

#include "bench/probe/discovery/generated_proc_tree.h"
#include "tests/support/owner_discovery.h"
#include "probe/discovery/owner_table_scanner.h"
#include "probe/discovery/process_snapshot.h"

namespace sondrel {
namespace {

bench::GeneratedProcTree& bigTree() {
    static bench::GeneratedProcTree tree(1000, 20);
    return tree;
}

// The worker's per-row step: one lock per row, store the label in the
// port-indexed table; nothing when the rows are those of the pass before.
using PortLabels = std::vector<std::u16string>;

void applyRows(const OwnerTableScanner& scanner, std::mutex& lock, PortLabels& labels) {
    if (scanner.sameAsPreviousScan()) return;
    for (const OwnedPort& port : scanner.ownedPorts()) {
        const std::u16string& label = scanner.label(port);
        const std::scoped_lock guard(lock);
        auto& stored = labels[port.localPort];
        if (stored != label) stored = label;
    }
}

void runPasses(benchmark::State& state, const std::string& root, RowSource source = RowSource::TableFiles) {
    OwnerTableScanner scanner(root, source);
    std::mutex lock;
    PortLabels labels(65536);
    if (scanner.scan() != ScanStatus::Ok) state.SkipWithError("tables unreadable");
    applyRows(scanner, lock, labels);
    const std::uint64_t walksBefore = scanner.ownerCache().walkCount();
    for (auto _ : state) {
        scanner.scan();
        applyRows(scanner, lock, labels);
    }
    state.counters["rows"] = double(scanner.ownedPorts().size());
    state.counters["processes"] = double(takeProcessSnapshot(root).pids().size());
    state.counters["walks_per_pass"] = double(scanner.ownerCache().walkCount() - walksBefore) / double(state.iterations());
}

// Steady state: the inode cache is warm, nothing changes between passes.
void BM_PassGeneratedTree(benchmark::State& state) { runPasses(state, bigTree().root()); }
BENCHMARK(BM_PassGeneratedTree)->Unit(benchmark::kMillisecond);

// First pass: every inode is new, so the pass walks every fd link.
void BM_FirstPassGeneratedTree(benchmark::State& state) {
    std::mutex lock;
    PortLabels labels(65536);
    for (auto _ : state) {
        OwnerTableScanner scanner(bigTree().root());
        scanner.scan();
        applyRows(scanner, lock, labels);
    }
}
BENCHMARK(BM_FirstPassGeneratedTree)->Unit(benchmark::kMillisecond);

// This machine's /proc, steady state; CPU share at the 300 ms period is
// pass / (pass + 300 ms).
void BM_PassLiveProc(benchmark::State& state) { runPasses(state, "/proc", RowSource::SocketDiagThenTableFiles); }
BENCHMARK(BM_PassLiveProc)->Unit(benchmark::kMillisecond);

void BM_PassLiveProcTableFilesOnly(benchmark::State& state) { runPasses(state, "/proc"); }
BENCHMARK(BM_PassLiveProcTableFilesOnly)->Unit(benchmark::kMillisecond);

void BM_OwnerLookup(benchmark::State& state) {
    OwnerDiscovery discovery(bigTree().root());
    if (discovery.StartOwnerDiscovery() != 0 || !discovery.waitForPasses(1, std::chrono::seconds(60))) {
        state.SkipWithError("discovery did not start");
        return;
    }
    std::vector<std::uint16_t> ports(4096);
    std::mt19937 random(7);
    for (auto& port : ports) port = std::uint16_t(1024 + random() % 20000);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(discovery.OwnerLookup(ports[i++ & 4095], 6));
    }
}
BENCHMARK(BM_OwnerLookup);

}  // namespace
}  // namespace sondrel

BENCHMARK_MAIN();
