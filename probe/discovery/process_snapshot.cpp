#include "probe/discovery/process_snapshot.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "probe/discovery/proc_files.h"
#include "probe/discovery/process_text.h"

namespace sondrel {

ProcessSnapshot::ProcessSnapshot(std::string procRoot, std::vector<int> pids)
    : m_procRoot(std::move(procRoot)), m_pids(std::move(pids)) {
    std::sort(m_pids.begin(), m_pids.end());
}

bool ProcessSnapshot::contains(int pid) const {
    return std::binary_search(m_pids.begin(), m_pids.end(), pid);
}

std::optional<std::string> ProcessSnapshot::executableFileName(int pid) const {
    if (!contains(pid)) return std::nullopt;
    const std::string processDir = m_procRoot + '/' + std::to_string(pid);
    std::string text;
    if (readWholeFile(processDir + "/cmdline", text, 4096)) {
        const std::string_view name = parseCmdlineFileName(text);
        if (!name.empty()) return std::string(name);
    }
    if (readWholeFile(processDir + "/stat", text, 4096)) {
        if (const auto comm = parseStatComm(text)) return std::string(*comm);
    }
    return std::nullopt;
}

ProcessSnapshot takeProcessSnapshot(const std::string& procRoot) {
    return ProcessSnapshot(procRoot, listProcessIds(procRoot));
}

std::optional<std::int64_t> processStartTimeNs(const std::string& procRoot, int pid) {
    std::string text;
    if (!readWholeFile(procRoot + '/' + std::to_string(pid) + "/stat", text, 4096)) return std::nullopt;
    const auto ticks = parseStatStartTicks(text);
    if (!ticks) return std::nullopt;
    // Ticks count from boot; the epoch's boot moment is now minus the time since boot.
    timespec realtime{}, boottime{};
    clock_gettime(CLOCK_REALTIME, &realtime);
    clock_gettime(CLOCK_BOOTTIME, &boottime);
    const std::int64_t bootNs = (std::int64_t(realtime.tv_sec) - boottime.tv_sec) * 1'000'000'000 +
                                (std::int64_t(realtime.tv_nsec) - boottime.tv_nsec);
    const long perSecond = sysconf(_SC_CLK_TCK);
    if (perSecond <= 0) return std::nullopt;
    return bootNs + std::int64_t(*ticks / std::uint64_t(perSecond)) * 1'000'000'000 +
           std::int64_t(*ticks % std::uint64_t(perSecond)) * 1'000'000'000 / perSecond;
}

}  // namespace sondrel
