#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "base/packet_record.h"

namespace sondrel {

// One socket of the /proc/net tables: all the owner search needs.
struct SocketRow {
    std::uint16_t localPort = 0;  // host order; a ping socket's echo identifier
    std::uint64_t inode = 0;      // 0 for sockets no file refers to (TIME_WAIT, not yet accepted)
    std::uint8_t protocol = 0;    // 6, 17, 132, 1, 58 or a raw socket's; 0 when the reader was not told
    // Which traffic the socket can carry (kCarriesIpv4, kCarriesIpv6):
    // an IPv4 socket IPv4 only; an IPv6 socket bound to an IPv4-mapped
    // address IPv4 only; one bound to another IPv6 address, or marked
    // IPV6_V6ONLY, IPv6 only; one bound to :: both.
    std::uint8_t carries = 0;
    bool raw = false;  // a raw socket: it receives every packet of `protocol` on one family; localPort 0
    // A raw socket's bound address, network order, an IPv4 one in the first
    // four bytes; all zero for any. Left zero for the others: their port is
    // what tells them apart, and sock_diag's rows do not carry it either.
    Ipv6Address localAddress{};
    bool operator==(const SocketRow&) const = default;
};

// What a socket of this family bound to this local address (16 bytes,
// network order; an IPv4 address in the first four) can carry. v6Only is
// IPV6_V6ONLY where known.
std::uint8_t socketCarries(int family, const std::uint8_t* localAddress, bool v6Only);

// Rows of one tcp or udp table in table order, tagged with `protocol`. The
// header and every line that does not have the kernel's shape (a local
// address of 8 or 32 hex digits) are skipped, so a truncated or odd table
// yields the rows it does hold. The text tables do not say IPV6_V6ONLY: an
// IPv6 socket bound to :: is taken to carry both families, as it does by default.
std::vector<SocketRow> parseSocketTable(std::string_view text, std::uint8_t protocol = 0);

// Same, appending to rows, so one pass can gather all its tables in one vector.
void appendSocketTable(std::string_view text, std::vector<SocketRow>& rows, std::uint8_t protocol = 0);

// /proc/net/icmp (family AF_INET) or icmp6 (AF_INET6): the ping sockets, in
// the udp tables' layout with the echo identifier as port. ICMP rows carry
// IPv4, ICMPv6 rows IPv6 only, whatever the bound address. Lines of the
// other family's address width are skipped like any odd line.
void appendPingTable(std::string_view text, int family, std::vector<SocketRow>& rows);

// /proc/net/raw or raw6: the raw sockets, in the same layout with the
// protocol number where the port would be (more than 255 makes the line odd).
void appendRawTable(std::string_view text, int family, std::vector<SocketRow>& rows);

// /proc/net/sctp/eps or /proc/net/sctp/assocs. Their first line names the
// columns, and the two files differ in which: LPORT, INODE and LADDRS are
// found there, so a header without them gives no rows. The local addresses
// (dotted IPv4, or IPv6 as the kernel prints it, the association's primary
// one marked '*') end at the first field that is no address; a line without
// one is skipped, as is one whose port or inode is not a number.
void appendSctpTable(std::string_view text, std::vector<SocketRow>& rows);

}  // namespace sondrel
