#pragma once

#include <string>

namespace sondrel::bench {

// A proc-like tree of `processes` processes holding `socketsPerProcess`
// listening sockets each (plus three non-socket fds), its rows spread over
// tcp, tcp6, udp and udp6 in the ratio 2:1:1:1. Removed on destruction.
class GeneratedProcTree {
public:
    GeneratedProcTree(int processes, int socketsPerProcess);
    ~GeneratedProcTree();
    GeneratedProcTree(const GeneratedProcTree&) = delete;
    GeneratedProcTree& operator=(const GeneratedProcTree&) = delete;

    const std::string& root() const { return m_root; }
    int rows() const { return m_rows; }

private:
    std::string m_root;
    int m_rows = 0;
};

}  // namespace sondrel::bench
