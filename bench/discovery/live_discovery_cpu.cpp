// Runs owner discovery on this machine's /proc for a number of seconds and
// prints the CPU it used, to compare against the 300 ms period budget (run it
// beside udp_churn.py for the churn figure).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "discovery/owner_discovery.h"
#include "discovery/process_snapshot.h"

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
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;
    std::printf("processes %zu, passes %llu in %.1f s, CPU %.3f s = %.2f%% of one core\n",
                sondrel::takeProcessSnapshot("/proc").pids().size(),
                static_cast<unsigned long long>(discovery.completedPasses()), wall, cpu, 100.0 * cpu / wall);
    discovery.stopOwnerDiscovery();
    discovery.waitForWorkerEnd(std::chrono::seconds(10));
    return 0;
}
