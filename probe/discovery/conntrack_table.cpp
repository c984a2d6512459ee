#include "probe/discovery/conntrack_table.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>
#include <optional>

#include "base/owner_claim.h"
#include "probe/discovery/text_fields.h"

namespace sondrel {

namespace {

std::optional<std::uint32_t> parseDecimal(std::string_view text, std::uint32_t limit) {
    std::uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value > limit) return std::nullopt;
    return value;
}

// The value of "key=value", or nullopt when the field has another key.
std::optional<std::string_view> valueOf(std::string_view field, std::string_view key) {
    if (field.size() <= key.size() || field.substr(0, key.size()) != key || field[key.size()] != '=')
        return std::nullopt;
    return field.substr(key.size() + 1);
}

bool parseAddress(std::string_view text, std::uint8_t family, Ipv6Address& address) {
    // inet_pton wants a terminated string; no address text is longer than 45.
    char buffer[48];
    if (text.size() >= sizeof buffer) return false;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    address = {};
    return inet_pton(family == kFamilyIpv4 ? AF_INET : AF_INET6, buffer, address.data()) == 1;
}

struct Tuple {
    Ipv6Address src{};
    Ipv6Address dst{};
    std::uint16_t sport = 0;
    std::uint16_t dport = 0;
};

// "src=A dst=B sport=P dport=Q", the first field already taken off the line.
bool parseTuple(std::string_view srcValue, std::string_view& line, std::uint8_t family, Tuple& tuple) {
    const auto dst = valueOf(nextField(line), "dst");
    const auto sport = valueOf(nextField(line), "sport");
    const auto dport = valueOf(nextField(line), "dport");
    if (!dst || !sport || !dport) return false;
    const auto sourcePort = parseDecimal(*sport, 65535);
    const auto destinationPort = parseDecimal(*dport, 65535);
    if (!sourcePort || !destinationPort) return false;
    tuple.sport = std::uint16_t(*sourcePort);
    tuple.dport = std::uint16_t(*destinationPort);
    return parseAddress(srcValue, family, tuple.src) && parseAddress(*dst, family, tuple.dst);
}

std::optional<std::uint8_t> parseProtocol(std::string_view name, std::string_view number) {
    const auto value = parseDecimal(number, 255);
    if (!value) return std::nullopt;
    if ((name == "tcp" && *value == kProtocolTcp) || (name == "udp" && *value == kProtocolUdp) ||
        (name == "sctp" && *value == kProtocolSctp))
        return std::uint8_t(*value);
    return std::nullopt;
}

// ipv4     2 tcp      6 431999 ESTABLISHED src=10.236.1.2 dst=10.235.1.2 sport=40000 dport=8080
// src=10.235.1.2 dst=10.235.1.1 sport=8080 dport=40000 [ASSURED] mark=0 zone=0 use=2
// The fields between the protocol and the first tuple (time left, state) and
// those between and after the tuples (counters, flags, mark, zone) vary with
// the protocol and the kernel's options, and are passed over.
std::optional<ConntrackEntry> parseLine(std::string_view line) {
    ConntrackEntry entry;
    const std::string_view familyName = nextField(line);
    const std::string_view familyNumber = nextField(line);
    if (familyName == "ipv4" && familyNumber == "2") {
        entry.family = kFamilyIpv4;
    } else if (familyName == "ipv6" && familyNumber == "10") {
        entry.family = kFamilyIpv6;
    } else {
        return std::nullopt;
    }
    const std::string_view protocolName = nextField(line);
    const auto protocol = parseProtocol(protocolName, nextField(line));
    if (!protocol) return std::nullopt;
    entry.protocol = *protocol;

    Tuple tuples[2];
    std::size_t count = 0;
    for (std::string_view field = nextField(line); !field.empty(); field = nextField(line)) {
        const auto src = valueOf(field, "src");
        if (!src) continue;
        if (count == 2 || !parseTuple(*src, line, entry.family, tuples[count])) return std::nullopt;
        ++count;
    }
    if (count != 2) return std::nullopt;
    entry.origSrc = tuples[0].src;
    entry.origDst = tuples[0].dst;
    entry.origSrcPort = tuples[0].sport;
    entry.origDstPort = tuples[0].dport;
    entry.replySrc = tuples[1].src;
    entry.replyDst = tuples[1].dst;
    entry.replySrcPort = tuples[1].sport;
    entry.replyDstPort = tuples[1].dport;
    return entry;
}

}  // namespace

void parseConntrackTable(std::string_view text, std::vector<ConntrackEntry>& out) {
    out.clear();
    while (!text.empty() && out.size() < kMaxConntrackEntries) {
        const std::size_t newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (const auto entry = parseLine(line)) out.push_back(*entry);
    }
}

}  // namespace sondrel
