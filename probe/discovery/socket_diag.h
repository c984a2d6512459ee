#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "probe/discovery/socket_table.h"

namespace sondrel {

enum class DiagChunkStatus { More, Done, Failed };

// Rows of one batch of NETLINK_SOCK_DIAG replies (inet_diag_msg records, of
// either request form), tagged with `protocol`; Done at NLMSG_DONE, Failed
// at NLMSG_ERROR or a record cut short. IPv6 records go to rowsV6 when it is
// given, all others to rows. IPV6_V6ONLY comes from the record's attributes.
DiagChunkStatus appendSocketDiagMessages(std::span<const std::byte> replies, std::vector<SocketRow>& rows,
                                         std::vector<SocketRow>* rowsV6 = nullptr, std::uint8_t protocol = 0);

// Dumps sockets of this network namespace in the kernel's table order, like
// /proc/net/{tcp,tcp6,udp,udp6} but without formatting text: several times
// cheaper on large hash tables. false when the dump fails (kernel without
// sock_diag or without the request form); rows then holds what came before
// the failure.
class SocketDiag {
public:
    // Every socket of one family (AF_INET, AF_INET6) and protocol
    // (IPPROTO_TCP, IPPROTO_UDP).
    bool dump(int family, int protocol, std::vector<SocketRow>& rows);

    // Every TCP socket that can have an owner, IPv4 rows then IPv6 rows, as
    // two dumps would give them, from one walk of the kernel's connection
    // hash: that walk costs the same however few connections there are, and
    // only the older request form asks for both families at once. TIME_WAIT
    // and half-open entries are left out: no process ever holds them.
    bool dumpTcp(std::vector<SocketRow>& rows);

private:
    bool request(const void* query, std::size_t size, std::vector<SocketRow>& rows, std::vector<SocketRow>* rowsV6,
                 std::uint8_t protocol);

    std::vector<std::byte> m_buffer;
    std::vector<SocketRow> m_rowsV6;
};

}  // namespace sondrel
