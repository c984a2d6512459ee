#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_descriptor.h"

namespace sondrel {

// Reads a whole small file (cmdline, stat) into buffer, replacing its
// content. false when the file cannot be opened or a read fails.
bool readWholeFile(const std::string& path, std::string& buffer, std::size_t readSize = 4096);

// Reads whole /proc/net tables with large reads: the kernel generates them in
// slices of one read call each, and a few big reads cost far less than many
// page-sized ones. The buffer is kept (and never cleared) between files.
class TableFileReader {
public:
    explicit TableFileReader(std::size_t readSize = std::size_t(1) << 20);

    // The file's text, valid until the next read; nullopt when it cannot be read.
    std::optional<std::string_view> read(const std::string& path);

private:
    std::size_t m_readSize;
    std::size_t m_capacity = 0;
    std::unique_ptr<char[]> m_data;
};

// Text of a symbolic link (an fd link reads "socket:[123]", an exe link the
// program's path); nullopt when it cannot be read.
std::optional<std::string> readLinkText(const std::string& path);

// Process ids under a proc root (its numeric entries), ascending.
std::vector<int> listProcessIds(const std::string& procRoot);

// What changes when a process opens or closes a file: on /proc the size of
// <pid>/fd is its number of open files; on a plain directory tree the
// modification time moves.
struct FdTableStamp {
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    bool operator==(const FdTableStamp&) const = default;
};

// The socket inodes a process holds, with the stamp of its fd table taken
// before the entries were read (so a change during the read is seen later).
struct ProcessSockets {
    FdTableStamp stamp;
    std::vector<std::uint64_t> inodes;  // in directory order, may repeat
};

// nullopt when <pid>/fd cannot be opened (process gone, other user's process).
// Entries that vanish while the directory is read are passed over.
std::optional<ProcessSockets> readProcessSockets(const std::string& procRoot, int pid);

std::optional<FdTableStamp> readFdTableStamp(const std::string& procRoot, int pid);

}  // namespace sondrel
