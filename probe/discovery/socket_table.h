#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace sondrel {

// One endpoint of /proc/net/{tcp,tcp6,udp,udp6}: all the owner search needs.
struct SocketRow {
    std::uint16_t localPort = 0;  // host order
    std::uint64_t inode = 0;      // 0 for sockets no file refers to (TIME_WAIT, not yet accepted)
    std::uint8_t protocol = 0;    // 6 (TCP) or 17 (UDP); 0 when the reader was not told
    // Which traffic the socket can carry (kCarriesIpv4, kCarriesIpv6):
    // an IPv4 socket IPv4 only; an IPv6 socket bound to an IPv4-mapped
    // address IPv4 only; one bound to another IPv6 address, or marked
    // IPV6_V6ONLY, IPv6 only; one bound to :: both.
    std::uint8_t carries = 0;
    bool operator==(const SocketRow&) const = default;
};

// What a socket of this family bound to this local address (16 bytes,
// network order; an IPv4 address in the first four) can carry. v6Only is
// IPV6_V6ONLY where known.
std::uint8_t socketCarries(int family, const std::uint8_t* localAddress, bool v6Only);

// Rows of one table in table order, tagged with `protocol`. The header and
// every line that does not have the kernel's shape (a local address of 8 or
// 32 hex digits) are skipped, so a truncated or odd table yields the rows it
// does hold. The text tables do not say IPV6_V6ONLY: an IPv6 socket bound to
// :: is taken to carry both families, as it does by default.
std::vector<SocketRow> parseSocketTable(std::string_view text, std::uint8_t protocol = 0);

// Same, appending to rows, so one pass can gather all four tables in one vector.
void appendSocketTable(std::string_view text, std::vector<SocketRow>& rows, std::uint8_t protocol = 0);

}  // namespace sondrel
