#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sondrel {

// The processes under a proc root as listed once per discovery pass. Names
// are read on demand: a pass needs the name only of processes whose path
// cannot be read, so listing the ids is all the snapshot does up front.
class ProcessSnapshot {
public:
    ProcessSnapshot(std::string procRoot, std::vector<int> pids);

    const std::string& procRoot() const { return m_procRoot; }
    const std::vector<int>& pids() const { return m_pids; }
    bool contains(int pid) const;

    // Executable file name: base name of argv[0], else comm; nullopt when the
    // process is not listed or has vanished since. May be empty (empty comm).
    std::optional<std::string> executableFileName(int pid) const;

private:
    std::string m_procRoot;
    std::vector<int> m_pids;  // ascending
};

ProcessSnapshot takeProcessSnapshot(const std::string& procRoot);

// When a process started, in nanoseconds since the epoch; nullopt when it
// has vanished or its stat cannot be read.
std::optional<std::int64_t> processStartTimeNs(const std::string& procRoot, int pid);

}  // namespace sondrel
