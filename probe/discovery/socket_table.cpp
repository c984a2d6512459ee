#include "probe/discovery/socket_table.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <array>
#include <cstring>
#include <charconv>
#include <optional>

#include "base/owner_claim.h"
#include "probe/discovery/text_fields.h"

namespace sondrel {

namespace {

std::optional<std::uint64_t> parseNumber(std::string_view text, int base) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

// The kernel writes the slot as "<decimal>:"; the header line starts with "sl".
bool isSlotField(std::string_view field) {
    if (field.size() < 2 || field.back() != ':') return false;
    return parseNumber(field.substr(0, field.size() - 1), 10).has_value();
}

// One line of the tcp, udp, icmp and raw tables, as far as the readers need it.
struct TableEntry {
    std::uint16_t port = 0;
    bool ipv6 = false;
    std::uint64_t inode = 0;
    Ipv6Address address{};  // network order
};

// "0100007F:1F90": the address as the kernel prints it, 32-bit words of host
// order in hex (one word for IPv4, four for IPv6), then the port.
bool parseLocalEndpoint(std::string_view text, TableEntry& entry) {
    const std::size_t colon = text.rfind(':');
    if (colon != 8 && colon != 32) return false;
    const std::string_view port = text.substr(colon + 1);
    if (port.size() > 4) return false;
    const auto value = parseNumber(port, 16);
    if (!value) return false;
    for (std::size_t word = 0; word < colon / 8; ++word) {
        const auto number = parseNumber(text.substr(word * 8, 8), 16);
        if (!number) return false;
        const auto hostOrder = std::uint32_t(*number);
        std::memcpy(entry.address.data() + word * 4, &hostOrder, 4);
    }
    entry.port = std::uint16_t(*value);
    entry.ipv6 = colon == 32;
    return true;
}

// Field layout shared by these tables:
// sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode ...
constexpr std::size_t kInodeField = 9;

bool parseEntry(std::string_view line, TableEntry& entry) {
    std::array<std::string_view, kInodeField + 1> fields;
    for (auto& field : fields) {
        field = nextField(line);
        if (field.empty()) return false;
    }
    if (!isSlotField(fields[0]) || !parseLocalEndpoint(fields[1], entry)) return false;
    const auto inode = parseNumber(fields[kInodeField], 10);
    if (!inode) return false;
    entry.inode = *inode;
    return true;
}

template <typename Visit>
void forEachLine(std::string_view text, Visit visit) {
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        visit(text.substr(0, newline));
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    }
}

template <typename Visit>
void forEachEntry(std::string_view text, Visit visit) {
    forEachLine(text, [&](std::string_view line) {
        TableEntry entry;
        if (parseEntry(line, entry)) visit(entry);
    });
}

struct SctpColumns {
    std::size_t port = 0;
    std::size_t inode = 0;
    std::size_t addresses = 0;  // the first of a variable number of fields
};

std::optional<SctpColumns> parseSctpHeader(std::string_view header) {
    std::optional<std::size_t> port;
    std::optional<std::size_t> inode;
    for (std::size_t index = 0;; ++index) {
        const std::string_view name = nextField(header);
        if (name.empty()) return std::nullopt;
        if (name == "LPORT") {
            port = index;
        } else if (name == "INODE") {
            inode = index;
        } else if (name == "LADDRS") {
            if (!port || !inode) return std::nullopt;
            return SctpColumns{*port, *inode, index};
        }
    }
}

// What a local address of an SCTP socket lets it carry; 0 when the field is
// no address.
std::uint8_t sctpAddressCarries(std::string_view field) {
    if (field.starts_with('*')) field.remove_prefix(1);
    char text[INET6_ADDRSTRLEN];
    if (field.empty() || field.size() >= sizeof text || field.find('\0') != std::string_view::npos) return 0;
    std::memcpy(text, field.data(), field.size());
    text[field.size()] = '\0';
    std::uint8_t bytes[16];
    if (inet_pton(AF_INET, text, bytes) == 1) return kCarriesIpv4;
    if (inet_pton(AF_INET6, text, bytes) == 1) return socketCarries(AF_INET6, bytes, false);
    return 0;
}

std::optional<SocketRow> parseSctpRow(std::string_view line, const SctpColumns& columns) {
    std::string_view port;
    std::string_view inode;
    for (std::size_t index = 0; index < columns.addresses; ++index) {
        const std::string_view field = nextField(line);
        if (field.empty()) return std::nullopt;
        if (index == columns.port) port = field;
        if (index == columns.inode) inode = field;
    }
    const auto portNumber = parseNumber(port, 10);
    const auto inodeNumber = parseNumber(inode, 10);
    if (!portNumber || *portNumber > 0xFFFF || !inodeNumber) return std::nullopt;
    std::uint8_t carries = 0;
    for (std::string_view field = nextField(line); !field.empty(); field = nextField(line)) {
        const std::uint8_t addressCarries = sctpAddressCarries(field);
        if (addressCarries == 0) break;
        carries |= addressCarries;
    }
    if (carries == 0) return std::nullopt;
    return SocketRow{std::uint16_t(*portNumber), *inodeNumber, std::uint8_t(kProtocolSctp), carries};
}

}  // namespace

std::uint8_t socketCarries(int family, const std::uint8_t* localAddress, bool v6Only) {
    if (family != AF_INET6) return kCarriesIpv4;
    if (v6Only) return kCarriesIpv6;
    static constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    static constexpr std::uint8_t kAny[16] = {};
    if (std::memcmp(localAddress, kMappedPrefix, 12) == 0) return kCarriesIpv4;
    if (std::memcmp(localAddress, kAny, 16) == 0) return kCarriesIpv4 | kCarriesIpv6;
    return kCarriesIpv6;
}

// "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 123456 1 0000000000000000 100 0 0 10 0"
void appendSocketTable(std::string_view text, std::vector<SocketRow>& rows, std::uint8_t protocol) {
    forEachEntry(text, [&](const TableEntry& entry) {
        const std::uint8_t carries = socketCarries(entry.ipv6 ? AF_INET6 : AF_INET, entry.address.data(), false);
        rows.push_back(SocketRow{entry.port, entry.inode, protocol, carries});
    });
}

std::vector<SocketRow> parseSocketTable(std::string_view text, std::uint8_t protocol) {
    std::vector<SocketRow> rows;
    appendSocketTable(text, rows, protocol);
    return rows;
}

void appendPingTable(std::string_view text, int family, std::vector<SocketRow>& rows) {
    const bool ipv6 = family == AF_INET6;
    const auto protocol = std::uint8_t(ipv6 ? kProtocolIcmpv6 : kProtocolIcmp);
    const std::uint8_t carries = ipv6 ? kCarriesIpv6 : kCarriesIpv4;
    forEachEntry(text, [&](const TableEntry& entry) {
        if (entry.ipv6 == ipv6) rows.push_back(SocketRow{entry.port, entry.inode, protocol, carries});
    });
}

void appendRawTable(std::string_view text, int family, std::vector<SocketRow>& rows) {
    const bool ipv6 = family == AF_INET6;
    const std::uint8_t carries = ipv6 ? kCarriesIpv6 : kCarriesIpv4;
    forEachEntry(text, [&](const TableEntry& entry) {
        if (entry.ipv6 == ipv6 && entry.port <= 0xFF) {
            rows.push_back(SocketRow{0, entry.inode, std::uint8_t(entry.port), carries, true, entry.address});
        }
    });
}

// " ENDPT     SOCK   STY SST HBKT LPORT   UID INODE LADDRS"
// "0000000000000000 0000000000000000 2   10  29   36412     0 48211 10.0.0.7 192.168.1.20 "
void appendSctpTable(std::string_view text, std::vector<SocketRow>& rows) {
    const std::size_t newline = text.find('\n');
    const auto columns = parseSctpHeader(text.substr(0, newline));
    if (!columns || newline == std::string_view::npos) return;
    forEachLine(text.substr(newline + 1), [&](std::string_view line) {
        if (const auto row = parseSctpRow(line, *columns)) rows.push_back(*row);
    });
}

}  // namespace sondrel
