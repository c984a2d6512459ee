#include "discovery/process_snapshot.h"

#include <algorithm>

#include "discovery/proc_files.h"
#include "discovery/process_text.h"

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

}  // namespace sondrel
