#pragma once

#include <initializer_list>
#include <string>

namespace sondrel::probe {

// What the helper may do beyond an ordinary user, each operation with the
// capabilities it needs and nothing else.
enum class Privilege {
    Capture,        // open a capture socket: CAP_NET_RAW
    ReadProcesses,  // read other users' /proc/<pid>/fd and exe: CAP_DAC_READ_SEARCH, CAP_SYS_PTRACE
    LoadProbes,     // load and attach eBPF programs: CAP_BPF, CAP_PERFMON
};

// Capabilities are a property of each thread. At start the helper keeps in
// its permitted set only what the operations above need (however it was
// started: file capabilities, or root) and none of it effective. Threads
// inherit the permitted set of the thread that creates them.
void limitToNeeded();

// Raises a privilege in the calling thread's effective set while it lives.
class ScopedPrivilege {
public:
    explicit ScopedPrivilege(Privilege privilege);
    ~ScopedPrivilege();
    ScopedPrivilege(const ScopedPrivilege&) = delete;
    ScopedPrivilege& operator=(const ScopedPrivilege&) = delete;

    bool raised() const { return m_raised; }

private:
    Privilege m_privilege;
    bool m_raised;
};

// Removes privileges from the calling thread's permitted set: gone for good
// for this thread and every thread it creates later.
void dropForGood(std::initializer_list<Privilege> privileges);
void dropEverything();

// The calling thread's effective capabilities as /proc/<pid>/status prints
// them ("0000000000000000"), for the tests.
std::string effectiveCapabilities();

}  // namespace sondrel::probe
