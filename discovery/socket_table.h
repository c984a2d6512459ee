#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace sondrel {

// One endpoint of /proc/net/{tcp,tcp6,udp,udp6}: all the owner search needs.
struct SocketRow {
    std::uint16_t localPort = 0;  // host order
    std::uint64_t inode = 0;      // 0 for sockets no file refers to (TIME_WAIT, not yet accepted)
    bool operator==(const SocketRow&) const = default;
};

// Rows of one table in table order. The header and every line that does not
// have the kernel's shape are skipped, so a truncated or odd table yields the
// rows it does hold.
std::vector<SocketRow> parseSocketTable(std::string_view text);

// Same, appending to rows, so one pass can gather all four tables in one vector.
void appendSocketTable(std::string_view text, std::vector<SocketRow>& rows);

}  // namespace sondrel
