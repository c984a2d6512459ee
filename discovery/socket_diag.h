#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "discovery/socket_table.h"

namespace sondrel {

enum class DiagChunkStatus { More, Done, Failed };

// Rows of one batch of NETLINK_SOCK_DIAG replies (inet_diag_msg records);
// Done at NLMSG_DONE, Failed at NLMSG_ERROR or a record cut short.
DiagChunkStatus appendSocketDiagMessages(std::span<const std::byte> replies, std::vector<SocketRow>& rows);

// Dumps every socket of one family (AF_INET, AF_INET6) and protocol
// (IPPROTO_TCP, IPPROTO_UDP) of this network namespace, in the kernel's table
// order, like /proc/net/{tcp,tcp6,udp,udp6} but without formatting text:
// several times cheaper on large hash tables. false when the dump fails
// (kernel without sock_diag); rows then holds what came before the failure.
class SocketDiag {
public:
    bool dump(int family, int protocol, std::vector<SocketRow>& rows);

private:
    std::vector<std::byte> m_buffer;
};

}  // namespace sondrel
