#include "probe/discovery/tunnel_links.h"

#include <arpa/inet.h>
#include <linux/genetlink.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/wireguard.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

namespace sondrel {

namespace {

// Link dumps come in parts of at most 32 KiB; a larger buffer never truncates one.
constexpr std::size_t kReceiveSize = std::size_t(64) << 10;

template <typename T>
T readAt(std::span<const std::byte> bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// Hands each message's type and body (what follows its header, up to its
// length) to `visit` until it answers other than More.
template <typename Visit>
NetlinkStatus forEachMessage(std::span<const std::byte> replies, Visit visit) {
    std::size_t offset = 0;
    while (replies.size() - offset >= sizeof(nlmsghdr)) {
        const auto header = readAt<nlmsghdr>(replies, offset);
        if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > replies.size() - offset) return NetlinkStatus::Failed;
        const NetlinkStatus status =
            visit(header.nlmsg_type, replies.subspan(offset + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN));
        if (status != NetlinkStatus::More) return status;
        offset += std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), replies.size() - offset);
    }
    return NetlinkStatus::More;
}

// Hands each attribute's type (flags masked off) and payload to `visit`;
// false when one overruns the bytes that hold it.
template <typename Visit>
bool forEachAttribute(std::span<const std::byte> bytes, Visit visit) {
    std::size_t offset = 0;
    while (bytes.size() - offset >= sizeof(nlattr)) {
        const auto attribute = readAt<nlattr>(bytes, offset);
        if (attribute.nla_len < NLA_HDRLEN || attribute.nla_len > bytes.size() - offset) return false;
        visit(std::uint16_t(attribute.nla_type & NLA_TYPE_MASK),
              bytes.subspan(offset + NLA_HDRLEN, attribute.nla_len - NLA_HDRLEN));
        offset += std::min<std::size_t>(NLA_ALIGN(attribute.nla_len), bytes.size() - offset);
    }
    return true;
}

std::span<const std::byte> after(std::span<const std::byte> bytes, std::size_t offset) {
    return bytes.subspan(std::min(offset, bytes.size()));
}

// A string attribute up to its terminating NUL (or its end, without one).
std::string_view textOf(std::span<const std::byte> payload) {
    const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
    return text.substr(0, text.find('\0'));
}

std::optional<std::uint16_t> u16Of(std::span<const std::byte> payload, bool bigEndian) {
    if (payload.size() != 2) return std::nullopt;
    const auto value = readAt<std::uint16_t>(payload, 0);
    return bigEndian ? ntohs(value) : value;
}

int errorOf(std::span<const std::byte> body) {
    if (body.size() < sizeof(int)) return EPROTO;
    const int error = readAt<int>(body, 0);
    if (error == 0) return 0;
    return error < 0 && error != INT_MIN ? -error : EPROTO;
}

std::optional<TunnelKind> kindOf(std::string_view kind) {
    if (kind == "vxlan") return TunnelKind::Vxlan;
    if (kind == "geneve") return TunnelKind::Geneve;
    if (kind == "bareudp") return TunnelKind::BareUdp;
    if (kind == "wireguard") return TunnelKind::WireGuard;
    return std::nullopt;
}

// The attribute of IFLA_INFO_DATA that holds the local UDP port (network order).
std::uint16_t portAttribute(TunnelKind kind) {
    switch (kind) {
    case TunnelKind::Vxlan: return IFLA_VXLAN_PORT;
    case TunnelKind::Geneve: return IFLA_GENEVE_PORT;
    case TunnelKind::BareUdp: return IFLA_BAREUDP_PORT;
    case TunnelKind::WireGuard: break;
    }
    return 0;
}

// One RTM_NEWLINK body: ifinfomsg, then the link's attributes.
NetlinkStatus appendLink(std::span<const std::byte> body, std::vector<TunnelLink>& links) {
    if (body.size() < sizeof(ifinfomsg)) return NetlinkStatus::Failed;
    const auto info = readAt<ifinfomsg>(body, 0);
    std::string_view name;
    std::string_view kind;
    std::span<const std::byte> data;
    bool elsewhere = false;
    bool nestedWhole = true;
    const auto attributes = after(body, NLMSG_ALIGN(sizeof(ifinfomsg)));
    const bool whole = forEachAttribute(attributes, [&](std::uint16_t type, auto payload) {
        if (type == IFLA_IFNAME) name = textOf(payload);
        if (type == IFLA_LINK_NETNSID) elsewhere = true;
        if (type == IFLA_LINKINFO) {
            nestedWhole = nestedWhole && forEachAttribute(payload, [&](std::uint16_t inner, auto value) {
                if (inner == IFLA_INFO_KIND) kind = textOf(value);
                if (inner == IFLA_INFO_DATA) data = value;
            });
        }
    });
    if (!whole || !nestedWhole) return NetlinkStatus::Failed;
    const auto tunnelKind = kindOf(kind);
    if (!tunnelKind || elsewhere || name.empty()) return NetlinkStatus::More;
    TunnelLink link{std::string(name), *tunnelKind, (info.ifi_flags & IFF_UP) != 0, std::nullopt};
    if (link.kind != TunnelKind::WireGuard) {
        const std::uint16_t wanted = portAttribute(link.kind);
        if (!forEachAttribute(data, [&](std::uint16_t type, auto payload) {
                if (type == wanted) link.port = u16Of(payload, true);
            }))
            return NetlinkStatus::Failed;
        if (!link.port) return NetlinkStatus::More;
    }
    links.push_back(std::move(link));
    return NetlinkStatus::More;
}

// Generic netlink replies: genlmsghdr, then attributes; the first 16-bit
// attribute of type `wanted` (host order) is the value. A family's answer is
// one message; a dump ends with NLMSG_DONE.
GenericAnswer genericValue(std::span<const std::byte> replies, std::uint16_t wanted, bool oneMessage) {
    GenericAnswer answer;
    answer.status = forEachMessage(replies, [&](std::uint16_t type, std::span<const std::byte> body) {
        if (type == NLMSG_DONE) return NetlinkStatus::Done;
        if (type == NLMSG_ERROR) {
            answer.error = errorOf(body);
            return answer.error == 0 ? NetlinkStatus::Done : NetlinkStatus::Failed;
        }
        if (type < NLMSG_MIN_TYPE) return NetlinkStatus::More;
        if (body.size() < GENL_HDRLEN) return NetlinkStatus::Failed;
        const bool whole = forEachAttribute(after(body, GENL_HDRLEN), [&](std::uint16_t attribute, auto payload) {
            if (attribute == wanted && !answer.value) answer.value = u16Of(payload, false);
        });
        if (!whole) return NetlinkStatus::Failed;
        return oneMessage ? NetlinkStatus::Done : NetlinkStatus::More;
    });
    return answer;
}

void appendBytes(std::vector<std::byte>& bytes, const void* data, std::size_t size) {
    const std::size_t at = bytes.size();
    bytes.resize(at + size);
    std::memcpy(bytes.data() + at, data, size);
}

// A generic netlink request for one string attribute (the name, with its NUL).
std::vector<std::byte> genericRequest(std::uint16_t family, std::uint16_t flags, std::uint8_t command,
                                      std::uint8_t version, std::uint16_t attribute, std::string_view text) {
    const nlattr header{std::uint16_t(NLA_HDRLEN + text.size() + 1), attribute};
    nlmsghdr message{};
    message.nlmsg_len = std::uint32_t(NLMSG_HDRLEN + GENL_HDRLEN + NLA_ALIGN(header.nla_len));
    message.nlmsg_type = family;
    message.nlmsg_flags = flags;
    const genlmsghdr generic{command, version, 0};
    std::vector<std::byte> bytes;
    appendBytes(bytes, &message, sizeof message);
    appendBytes(bytes, &generic, sizeof generic);
    appendBytes(bytes, &header, sizeof header);
    appendBytes(bytes, text.data(), text.size());
    bytes.resize(message.nlmsg_len, std::byte{0});
    return bytes;
}

// Sends one request and hands each read of the reply to `parse` until it is done.
template <typename Parse>
bool exchange(int protocol, std::span<const std::byte> request, std::vector<std::byte>& buffer, Parse parse) {
    const FileDescriptor channel(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, protocol));
    if (!channel.valid()) return false;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(channel.get(), request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
        return false;
    for (;;) {
        iovec slot{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_iov = &slot;
        message.msg_iovlen = 1;
        const ssize_t got = recvmsg(channel.get(), &message, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || (message.msg_flags & MSG_TRUNC) != 0) return false;
        switch (parse(std::span<const std::byte>(buffer.data(), std::size_t(got)))) {
        case NetlinkStatus::More: break;
        case NetlinkStatus::Done: return true;
        case NetlinkStatus::Failed: return false;
        }
    }
}

}  // namespace

NetlinkStatus appendTunnelLinks(std::span<const std::byte> replies, std::vector<TunnelLink>& links) {
    return forEachMessage(replies, [&](std::uint16_t type, std::span<const std::byte> body) {
        if (type == NLMSG_DONE) return NetlinkStatus::Done;
        if (type == NLMSG_ERROR) return NetlinkStatus::Failed;
        if (type != RTM_NEWLINK) return NetlinkStatus::More;
        return appendLink(body, links);
    });
}

GenericAnswer genericFamilyId(std::span<const std::byte> replies) {
    return genericValue(replies, CTRL_ATTR_FAMILY_ID, true);
}

GenericAnswer wireGuardListenPort(std::span<const std::byte> replies) {
    return genericValue(replies, WGDEVICE_A_LISTEN_PORT, false);
}

bool TunnelLinkReader::mayHaveChanged() {
    // Without announcements every call may hide a change.
    const bool announced = m_announcements.changed() || !m_announcements.valid();
    return announced || m_stale || m_portsAsked;
}

bool TunnelLinkReader::read(std::vector<TunnelLink>& links) {
    links.clear();
    m_stale = true;
    m_portsAsked = false;
    if (m_buffer.size() < kReceiveSize) m_buffer.resize(kReceiveSize);
    struct {
        nlmsghdr header;
        ifinfomsg info;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = RTM_GETLINK;
    query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    query.info.ifi_family = AF_UNSPEC;
    const auto request = std::as_bytes(std::span(&query, 1));
    if (!exchange(NETLINK_ROUTE, request, m_buffer, [&](auto replies) { return appendTunnelLinks(replies, links); }))
        return false;
    m_stale = false;

    const auto portUnknown = [](const TunnelLink& link) { return link.kind == TunnelKind::WireGuard && link.up; };
    if (m_wireGuardRefused || std::none_of(links.begin(), links.end(), portUnknown)) return true;
    GenericAnswer family;
    const auto familyQuery = genericRequest(GENL_ID_CTRL, NLM_F_REQUEST, CTRL_CMD_GETFAMILY, 2, CTRL_ATTR_FAMILY_NAME,
                                            WG_GENL_NAME);
    exchange(NETLINK_GENERIC, familyQuery, m_buffer, [&](auto replies) {
        family = genericFamilyId(replies);
        return family.status;
    });
    if (!family.value) return true;
    for (TunnelLink& link : links) {
        if (!portUnknown(link) || m_wireGuardRefused) continue;
        link.port = wireGuardPort(*family.value, link.name);
        m_portsAsked = m_portsAsked || link.port.has_value();
    }
    return true;
}

std::optional<std::uint16_t> TunnelLinkReader::wireGuardPort(std::uint16_t family, const std::string& name) {
    const auto query = genericRequest(family, NLM_F_REQUEST | NLM_F_DUMP, WG_CMD_GET_DEVICE, WG_GENL_VERSION,
                                      WGDEVICE_A_IFNAME, name);
    std::optional<std::uint16_t> port;
    std::size_t used = 0;
    int error = 0;
    const bool done = exchange(NETLINK_GENERIC, query, m_buffer, [&](auto replies) {
        used = std::max(used, replies.size());
        const GenericAnswer answer = wireGuardListenPort(replies);
        if (answer.value && !port) port = answer.value;
        error = answer.error;
        return answer.status;
    });
    // The device's answer carries its private key: it leaves no copy behind.
    explicit_bzero(m_buffer.data(), used);
    if (error == EPERM || error == EACCES) m_wireGuardRefused = true;
    return done ? port : std::nullopt;
}

}  // namespace sondrel
