#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/owner_claim.h"
#include "probe/discovery/socket_table.h"

namespace {

std::size_t lineCount(std::string_view text) {
    std::size_t lines = 1;
    for (char c : text) lines += c == '\n';
    return lines;
}

}  // namespace

// Any text as each of the /proc/net tables discovery reads.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t lines = lineCount(text);
    // Every row needs a line of its own.
    if (sondrel::parseSocketTable(text).size() > lines) __builtin_trap();

    std::vector<sondrel::SocketRow> rows;
    for (const int family : {AF_INET, AF_INET6}) {
        const std::uint8_t only = family == AF_INET6 ? sondrel::kCarriesIpv6 : sondrel::kCarriesIpv4;
        rows.clear();
        sondrel::appendPingTable(text, family, rows);
        if (rows.size() > lines) __builtin_trap();
        for (const auto& row : rows) {
            if (row.carries != only || row.raw) __builtin_trap();
        }
        rows.clear();
        sondrel::appendRawTable(text, family, rows);
        if (rows.size() > lines) __builtin_trap();
        for (const auto& row : rows) {
            if (row.carries != only || !row.raw || row.localPort != 0) __builtin_trap();
            for (std::size_t byte = 4; family == AF_INET && byte < row.localAddress.size(); ++byte) {
                if (row.localAddress[byte] != 0) __builtin_trap();
            }
        }
    }
    // The first line is the header.
    rows.clear();
    sondrel::appendSctpTable(text, rows);
    if (rows.size() >= lines) __builtin_trap();
    for (const auto& row : rows) {
        if (row.carries == 0 || row.protocol != sondrel::kProtocolSctp) __builtin_trap();
    }
    return 0;
}
