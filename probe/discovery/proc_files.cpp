#include "probe/discovery/proc_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <memory>

#include "probe/discovery/process_text.h"

namespace sondrel {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

std::optional<int> parsePid(const char* name) {
    const std::string_view text(name);
    int pid = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size() || pid <= 0) return std::nullopt;
    return pid;
}

std::int64_t nanoseconds(const timespec& time) {
    return std::int64_t(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

FdTableStamp stampOf(const struct stat& info) {
    return FdTableStamp{std::uint64_t(info.st_ino), std::int64_t(info.st_size), nanoseconds(info.st_mtim),
                        nanoseconds(info.st_ctim)};
}

std::string fdDirectory(const std::string& procRoot, int pid) {
    return procRoot + '/' + std::to_string(pid) + "/fd";
}

}  // namespace


bool readWholeFile(const std::string& path, std::string& buffer, std::size_t readSize) {
    buffer.clear();
    const FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return false;
    std::size_t used = 0;
    for (;;) {
        if (buffer.size() < used + readSize) buffer.resize(used + readSize);
        const ssize_t got = read(file.get(), buffer.data() + used, readSize);
        if (got < 0) {
            if (errno == EINTR) continue;
            buffer.clear();
            return false;
        }
        if (got == 0) break;
        used += std::size_t(got);
    }
    buffer.resize(used);
    return true;
}

TableFileReader::TableFileReader(std::size_t readSize) : m_readSize(readSize) {}

std::optional<std::string_view> TableFileReader::read(const std::string& path) {
    const FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return std::nullopt;
    std::size_t used = 0;
    for (;;) {
        if (m_capacity < used + m_readSize) {
            const std::size_t grown = std::max(m_capacity * 2, used + m_readSize);
            auto data = std::make_unique_for_overwrite<char[]>(grown);
            std::copy_n(m_data.get(), used, data.get());
            m_data = std::move(data);
            m_capacity = grown;
        }
        const ssize_t got = ::read(file.get(), m_data.get() + used, m_readSize);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (got == 0) break;
        used += std::size_t(got);
    }
    return std::string_view(m_data.get(), used);
}

std::optional<std::string> readLinkText(const std::string& path) {
    std::array<char, 4096> text;
    const ssize_t length = readlink(path.c_str(), text.data(), text.size());
    if (length < 0) return std::nullopt;
    return std::string(text.data(), std::size_t(length));
}

std::vector<int> listProcessIds(const std::string& procRoot) {
    std::vector<int> pids;
    const DirHandle dir(opendir(procRoot.c_str()));
    if (!dir) return pids;
    while (const dirent* entry = readdir(dir.get())) {
        if (const auto pid = parsePid(entry->d_name)) pids.push_back(*pid);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::optional<FdTableStamp> readFdTableStamp(const std::string& procRoot, int pid) {
    struct stat info {};
    if (stat(fdDirectory(procRoot, pid).c_str(), &info) != 0) return std::nullopt;
    return stampOf(info);
}

std::optional<ProcessSockets> readProcessSockets(const std::string& procRoot, int pid) {
    const int dirFd = open(fdDirectory(procRoot, pid).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return std::nullopt;
    struct stat info {};
    if (fstat(dirFd, &info) != 0) {
        close(dirFd);
        return std::nullopt;
    }
    // fdopendir takes over dirFd; readlinkat below borrows it.
    const DirHandle dir(fdopendir(dirFd));
    if (!dir) {
        close(dirFd);
        return std::nullopt;
    }
    ProcessSockets result{stampOf(info), {}};
    std::array<char, 64> link;
    while (const dirent* entry = readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        const ssize_t length = readlinkat(dirFd, entry->d_name, link.data(), link.size());
        if (length <= 0) continue;
        if (const auto inode = parseSocketLinkInode(std::string_view(link.data(), std::size_t(length)))) {
            result.inodes.push_back(*inode);
        }
    }
    return result;
}

}  // namespace sondrel
