#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace sondrel::testing {

// A proc-like tree in a fresh temporary directory, removed at the end of the
// test; optionally a copy of a checked-in tree under tests/fixtures/proc.
class TempProcTree {
public:
    TempProcTree();
    explicit TempProcTree(std::string_view fixtureName);
    ~TempProcTree();
    TempProcTree(const TempProcTree&) = delete;
    TempProcTree& operator=(const TempProcTree&) = delete;

    const std::string& root() const { return m_root; }

    void writeFile(std::string_view relativePath, std::string_view content) const;
    void makeLink(std::string_view relativePath, std::string_view targetText) const;
    void remove(std::string_view relativePath) const;

    // A process with the given fd links ("socket:[N]" texts), exe link text
    // (none when empty), cmdline bytes and comm.
    void addProcess(int pid, std::string_view cmdline, std::string_view comm, std::string_view exeText = {}) const;
    void addSocketLink(int pid, int fd, std::uint64_t inode) const;

    // What the kernel shows when a process opens or closes a file: its fd
    // table's stamp moves. A plain directory's time may not move within one
    // clock tick, so the tests move it explicitly.
    void touchFdTable(int pid);

private:
    std::string m_root;
    long m_touches = 0;
};

std::string fixturePath(std::string_view relative);

}  // namespace sondrel::testing
