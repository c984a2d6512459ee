#include <linux/inet_diag.h>
#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "probe/discovery/socket_diag.h"

// Any bytes as one batch of NETLINK_SOCK_DIAG replies, records and attributes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> replies(reinterpret_cast<const std::byte*>(data), size);
    std::vector<sondrel::SocketRow> rows;
    std::vector<sondrel::SocketRow> rowsV6;
    const auto split = sondrel::appendSocketDiagMessages(replies, rows, &rowsV6, 6);
    std::vector<sondrel::SocketRow> together;
    const auto whole = sondrel::appendSocketDiagMessages(replies, together, nullptr, 17);
    // Every row takes a whole record, and where the rows go changes nothing else.
    if ((rows.size() + rowsV6.size()) * NLMSG_LENGTH(sizeof(inet_diag_msg)) > size) __builtin_trap();
    if (split != whole || together.size() != rows.size() + rowsV6.size()) __builtin_trap();
    return 0;
}
