#include "tests/support/temp_proc_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace sondrel::testing {

namespace fs = std::filesystem;

std::string fixturePath(std::string_view relative) {
    const char* fromEnvironment = std::getenv("SONDREL_FIXTURES");
    return std::string(fromEnvironment != nullptr ? fromEnvironment : SONDREL_FIXTURES) + '/' + std::string(relative);
}

TempProcTree::TempProcTree() {
    std::string pattern = (fs::temp_directory_path() / "sondrel-proc-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_root = pattern;
}

TempProcTree::TempProcTree(std::string_view fixtureName) : TempProcTree() {
    fs::copy(fixturePath("proc/" + std::string(fixtureName)), m_root,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

TempProcTree::~TempProcTree() {
    std::error_code ignored;
    fs::remove_all(m_root, ignored);
}

void TempProcTree::writeFile(std::string_view relativePath, std::string_view content) const {
    const fs::path path = fs::path(m_root) / relativePath;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), std::streamsize(content.size()));
}

void TempProcTree::makeLink(std::string_view relativePath, std::string_view targetText) const {
    const fs::path path = fs::path(m_root) / relativePath;
    fs::create_directories(path.parent_path());
    std::error_code ignored;
    fs::remove(path, ignored);
    fs::create_symlink(fs::path(targetText), path);
}

void TempProcTree::remove(std::string_view relativePath) const {
    fs::remove_all(fs::path(m_root) / relativePath);
}

void TempProcTree::addProcess(int pid, std::string_view cmdline, std::string_view comm, std::string_view exeText) const {
    const std::string dir = std::to_string(pid);
    fs::create_directories(fs::path(m_root) / dir / "fd");
    writeFile(dir + "/cmdline", cmdline);
    writeFile(dir + "/stat", dir + " (" + std::string(comm) + ") S 1 1 1 0 -1 4194560\n");
    if (!exeText.empty()) makeLink(dir + "/exe", exeText);
}

void TempProcTree::addSocketLink(int pid, int fd, std::uint64_t inode) const {
    makeLink(std::to_string(pid) + "/fd/" + std::to_string(fd), "socket:[" + std::to_string(inode) + "]");
}

void TempProcTree::touchFdTable(int pid) {
    const std::string path = m_root + '/' + std::to_string(pid) + "/fd";
    ++m_touches;
    const timespec times[2] = {{1'000'000 + m_touches, 0}, {1'000'000 + m_touches, 0}};
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) throw std::runtime_error("utimensat failed on " + path);
}

}  // namespace sondrel::testing
