#include "probe/discovery/socket_table.h"

#include <sys/socket.h>

#include <array>
#include <cstring>
#include <charconv>
#include <optional>

#include "base/owner_claim.h"

namespace sondrel {

namespace {

// Splits off the next blank-separated field; empty when the line is used up.
std::string_view nextField(std::string_view& line) {
    std::size_t start = 0;
    while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
    std::size_t end = start;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
    const std::string_view field = line.substr(start, end - start);
    line.remove_prefix(end);
    return field;
}

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

struct LocalEndpoint {
    std::uint16_t port = 0;
    std::uint8_t carries = 0;
};

// "0100007F:1F90": the address as the kernel prints it, 32-bit words of host
// order in hex (one word for IPv4, four for IPv6), then the port.
std::optional<LocalEndpoint> parseLocalEndpoint(std::string_view address) {
    const std::size_t colon = address.rfind(':');
    if (colon != 8 && colon != 32) return std::nullopt;
    const std::string_view port = address.substr(colon + 1);
    if (port.size() > 4) return std::nullopt;
    const auto value = parseNumber(port, 16);
    if (!value) return std::nullopt;
    std::uint8_t bytes[16] = {};
    for (std::size_t word = 0; word < colon / 8; ++word) {
        const auto number = parseNumber(address.substr(word * 8, 8), 16);
        if (!number) return std::nullopt;
        const auto hostOrder = std::uint32_t(*number);
        std::memcpy(bytes + word * 4, &hostOrder, 4);
    }
    return LocalEndpoint{std::uint16_t(*value), socketCarries(colon == 8 ? AF_INET : AF_INET6, bytes, false)};
}

// Field layout shared by the four tables:
// sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode ...
constexpr std::size_t kInodeField = 9;

std::optional<SocketRow> parseRow(std::string_view line, std::uint8_t protocol) {
    std::array<std::string_view, kInodeField + 1> fields;
    for (auto& field : fields) {
        field = nextField(line);
        if (field.empty()) return std::nullopt;
    }
    if (!isSlotField(fields[0])) return std::nullopt;
    const auto local = parseLocalEndpoint(fields[1]);
    const auto inode = parseNumber(fields[kInodeField], 10);
    if (!local || !inode) return std::nullopt;
    return SocketRow{local->port, *inode, protocol, local->carries};
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
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (const auto row = parseRow(line, protocol)) rows.push_back(*row);
    }
}

std::vector<SocketRow> parseSocketTable(std::string_view text, std::uint8_t protocol) {
    std::vector<SocketRow> rows;
    appendSocketTable(text, rows, protocol);
    return rows;
}

}  // namespace sondrel
