// Runs owner discovery on this machine's /proc for a number of seconds and
// prints the CPU it used, to compare against the 300 ms period budget (run it
// beside udp_churn.py for the churn figure).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "tests/support/owner_discovery.h"
#include "probe/discovery/process_snapshot.h"

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    sondrel::OwnerDiscovery discovery;
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    if (discovery.StartOwnerDiscovery() != 0) return 1;
    // The first pass walks every process's fds; the steady share leaves it out.
    if (!discovery.waitForPasses(1, std::chrono::seconds(60))) return 1;
    const double cpuFirst = cpuSeconds() - cpuBefore;
    const auto steadyStart = std::chrono::steady_clock::now();
    const std::uint64_t passesBefore = discovery.completedPasses();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto end = std::chrono::steady_clock::now();
    const double cpu = cpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(end - start).count();
    const double steadyWall = std::chrono::duration<double>(end - steadyStart).count();
    const std::uint64_t steadyPasses = discovery.completedPasses() - passesBefore;
    std::printf("processes %zu, passes %llu in %.1f s, CPU %.3f s = %.2f%% of one core; first pass %.1f ms, "
                "then %.2f ms per pass = %.2f%% of one core\n",
                sondrel::takeProcessSnapshot("/proc").pids().size(),
                static_cast<unsigned long long>(discovery.completedPasses()), wall, cpu, 100.0 * cpu / wall,
                1000.0 * cpuFirst, 1000.0 * (cpu - cpuFirst) / double(steadyPasses),
                100.0 * (cpu - cpuFirst) / steadyWall);
    discovery.StopOwnerDiscovery();
    discovery.waitForWorkerEnd(std::chrono::seconds(10));
    return 0;
}
