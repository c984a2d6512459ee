#include "probe/discovery/socket_diag.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "probe/discovery/proc_files.h"

namespace sondrel {

namespace {

constexpr std::size_t kReceiveSize = std::size_t(1) << 20;

// Kernel socket states (include/net/tcp_states.h) that never belong to a file.
constexpr unsigned kTcpTimeWait = 6;
constexpr unsigned kTcpNewSynRecv = 12;
constexpr std::uint32_t kOwnableTcpStates = ~((1u << kTcpTimeWait) | (1u << kTcpNewSynRecv));

template <typename T>
T readAt(std::span<const std::byte> bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// The IPV6_V6ONLY attribute among those that follow the record; false when
// absent (an IPv4 socket, or a kernel that does not send it).
bool v6OnlyAttribute(std::span<const std::byte> message) {
    std::size_t offset = NLMSG_ALIGN(sizeof(inet_diag_msg));
    while (message.size() - std::min(offset, message.size()) >= sizeof(rtattr)) {
        const auto attribute = readAt<rtattr>(message, offset);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > message.size() - offset) return false;
        if (attribute.rta_type == INET_DIAG_SKV6ONLY && attribute.rta_len >= RTA_LENGTH(1)) {
            return std::to_integer<std::uint8_t>(message[offset + RTA_LENGTH(0)]) != 0;
        }
        offset += RTA_ALIGN(attribute.rta_len);
    }
    return false;
}

}  // namespace

// One reply: nlmsghdr{len=88, type=SOCK_DIAG_BY_FAMILY (TCPDIAG_GETSOCK for the older form), flags=NLM_F_MULTI} followed by
// inet_diag_msg{family, state, timer, retrans, id{sport(be16), dport, src, dst, if, cookie}, expires, rqueue, wqueue, uid, inode}
DiagChunkStatus appendSocketDiagMessages(std::span<const std::byte> replies, std::vector<SocketRow>& rows,
                                         std::vector<SocketRow>* rowsV6, std::uint8_t protocol) {
    std::size_t offset = 0;
    while (replies.size() - offset >= sizeof(nlmsghdr)) {
        const auto header = readAt<nlmsghdr>(replies, offset);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > replies.size() - offset) {
            return DiagChunkStatus::Failed;
        }
        if (header.nlmsg_type == NLMSG_DONE) return DiagChunkStatus::Done;
        if (header.nlmsg_type == NLMSG_ERROR) return DiagChunkStatus::Failed;
        if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY || header.nlmsg_type == TCPDIAG_GETSOCK) {
            if (header.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return DiagChunkStatus::Failed;
            const auto message = readAt<inet_diag_msg>(replies, offset + NLMSG_HDRLEN);
            const auto body = replies.subspan(offset + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
            std::uint8_t local[16];
            std::memcpy(local, message.id.idiag_src, sizeof local);
            const bool v6Only = message.idiag_family == AF_INET6 && v6OnlyAttribute(body);
            auto& sink = rowsV6 != nullptr && message.idiag_family == AF_INET6 ? *rowsV6 : rows;
            sink.push_back(SocketRow{ntohs(message.id.idiag_sport), message.idiag_inode, protocol,
                                     socketCarries(message.idiag_family, local, v6Only)});
        }
        offset += std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), replies.size() - offset);
    }
    return DiagChunkStatus::More;
}

bool SocketDiag::dump(int family, int protocol, std::vector<SocketRow>& rows) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    query.request.sdiag_family = std::uint8_t(family);
    query.request.sdiag_protocol = std::uint8_t(protocol);
    query.request.idiag_states = ~0u;
    return request(&query, sizeof query, rows, nullptr, std::uint8_t(protocol));
}

bool SocketDiag::dumpTcp(std::vector<SocketRow>& rows) {
    // The older form carries no family: the kernel dumps both from one walk.
    struct {
        nlmsghdr header;
        inet_diag_req request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = TCPDIAG_GETSOCK;
    query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    query.request.idiag_family = AF_UNSPEC;
    query.request.idiag_states = kOwnableTcpStates;
    m_rowsV6.clear();
    if (!request(&query, sizeof query, rows, &m_rowsV6, IPPROTO_TCP)) return false;
    rows.insert(rows.end(), m_rowsV6.begin(), m_rowsV6.end());
    return true;
}

bool SocketDiag::request(const void* query, std::size_t size, std::vector<SocketRow>& rows,
                         std::vector<SocketRow>* rowsV6, std::uint8_t protocol) {
    const FileDescriptor channel(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!channel.valid()) return false;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(channel.get(), query, size, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        return false;
    }
    if (m_buffer.size() < kReceiveSize) m_buffer.resize(kReceiveSize);
    for (;;) {
        const ssize_t got = recv(channel.get(), m_buffer.data(), m_buffer.size(), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        switch (appendSocketDiagMessages(std::span(m_buffer.data(), std::size_t(got)), rows, rowsV6, protocol)) {
        case DiagChunkStatus::More: break;
        case DiagChunkStatus::Done: return true;
        case DiagChunkStatus::Failed: return false;
        }
    }
}

}  // namespace sondrel
