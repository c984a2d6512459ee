#include "bench/probe/discovery/generated_proc_tree.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace sondrel::bench {

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string tableRow(int slot, bool v6, int port, long inode) {
    std::array<char, 256> text{};
    const char* address = v6 ? "00000000000000000000000000000000" : "0100007F";
    std::snprintf(text.data(), text.size(),
                  "%5d: %s:%04X %s:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 %ld 1 "
                  "0000000000000000 100 0 0 10 0\n",
                  slot, address, port, address, inode);
    return text.data();
}

}  // namespace

GeneratedProcTree::GeneratedProcTree(int processes, int socketsPerProcess) {
    std::string pattern = (fs::temp_directory_path() / "sondrel-bench-proc-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_root = pattern;
    const fs::path root(m_root);
    fs::create_directories(root / "net");
    const std::string header = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
    std::array<std::string, 4> tables{header, header, header, header};
    const std::array<int, 5> tableOfSlot{0, 0, 1, 2, 3};  // tcp, tcp, tcp6, udp, udp6
    for (int p = 0; p < processes; ++p) {
        const int pid = 1000 + p;
        const fs::path dir = root / std::to_string(pid);
        fs::create_directories(dir / "fd");
        const std::string name = "service-" + std::to_string(p % 50);
        writeFile(dir / "cmdline", "/usr/lib/bench/" + name + std::string(1, '\0') + "--serve" + std::string(1, '\0'));
        writeFile(dir / "stat", std::to_string(pid) + " (" + name + ") S 1 1 1 0 -1 4194560\n");
        fs::create_symlink("/usr/lib/bench/" + name, dir / "exe");
        for (int fd = 0; fd < 3; ++fd) fs::create_symlink("/dev/null", dir / "fd" / std::to_string(fd));
        for (int s = 0; s < socketsPerProcess; ++s) {
            const long inode = 500000 + long(m_rows);
            const int port = 1024 + m_rows % 64000;
            fs::create_symlink("socket:[" + std::to_string(inode) + "]", dir / "fd" / std::to_string(3 + s));
            const int table = tableOfSlot[std::size_t(m_rows % 5)];
            tables[std::size_t(table)] += tableRow(m_rows, table == 1 || table == 3, port, inode);
            ++m_rows;
        }
    }
    writeFile(root / "net/tcp", tables[0]);
    writeFile(root / "net/tcp6", tables[1]);
    writeFile(root / "net/udp", tables[2]);
    writeFile(root / "net/udp6", tables[3]);
}

GeneratedProcTree::~GeneratedProcTree() {
    std::error_code ignored;
    fs::remove_all(m_root, ignored);
}

}  // namespace sondrel::bench
