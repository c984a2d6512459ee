#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/packet_record.h"

namespace sondrel {

// One tracked connection of /proc/net/nf_conntrack: the tuple its first packet
// had (orig) and the tuple a reply has (reply). Where they differ other than
// by the swap of the ends, the kernel translated an address or a port.
struct ConntrackEntry {
    std::uint8_t family = kFamilyIpv4;
    std::uint8_t protocol = 0;  // 6, 17 or 132
    std::uint16_t origSrcPort = 0;  // ports in host order
    std::uint16_t origDstPort = 0;
    std::uint16_t replySrcPort = 0;
    std::uint16_t replyDstPort = 0;
    Ipv6Address origSrc{};  // network order; an IPv4 address in the first four bytes
    Ipv6Address origDst{};
    Ipv6Address replySrc{};
    Ipv6Address replyDst{};
    bool operator==(const ConntrackEntry&) const = default;
};

// More entries than a host tracks by default; the rest of a larger table is
// left unread rather than held.
inline constexpr std::size_t kMaxConntrackEntries = 65536;

// The TCP, UDP and SCTP entries of the table's text, in table order, replacing
// out's content (its storage is reused). Lines of other protocols, and every
// line without the kernel's shape (family name and number, protocol name and
// number, then two tuples of src=, dst=, sport=, dport= with addresses of the
// line's family), are skipped; at most kMaxConntrackEntries are kept.
void parseConntrackTable(std::string_view text, std::vector<ConntrackEntry>& out);

}  // namespace sondrel
