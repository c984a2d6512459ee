#include "metrics/listen_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace sondrel {

namespace {

std::optional<std::uint16_t> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + std::uint32_t(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return std::uint16_t(value);
}

ListenAddressParse failure(std::string error) { return {std::nullopt, std::move(error)}; }

ListenAddress ipv4Address(const in_addr& host, std::uint16_t port) {
    ListenAddress address;
    sockaddr_in ipv4{};
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(port);
    ipv4.sin_addr = host;
    std::memcpy(&address.socketAddress, &ipv4, sizeof ipv4);
    address.socketAddressLength = sizeof ipv4;
    char shown[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &host, shown, sizeof shown);
    address.text = std::string(shown) + ":" + std::to_string(port);
    return address;
}

}  // namespace

ListenAddress loopbackListenAddress(std::uint16_t port) {
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    return ipv4Address(loopback, port);
}

ListenAddressParse parseListenAddress(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        const std::optional<std::uint16_t> port = parsePort(text);
        if (!port) return failure("expected HOST:PORT or PORT, got \"" + std::string(text) + "\"");
        return {loopbackListenAddress(*port), {}};
    }
    const std::string_view host = text.substr(0, colon);
    const std::optional<std::uint16_t> port = parsePort(text.substr(colon + 1));
    if (!port) return failure("the port must be a number from 1 to 65535 in \"" + std::string(text) + "\"");
    if (host.empty()) return failure("name the address to listen on, e.g. 127.0.0.1:" + std::to_string(*port));
    if (host == "localhost") return {loopbackListenAddress(*port), {}};

    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return failure("unbalanced brackets in \"" + std::string(text) + "\"");
        const std::string literal(host.substr(1, host.size() - 2));
        sockaddr_in6 ipv6{};
        if (inet_pton(AF_INET6, literal.c_str(), &ipv6.sin6_addr) != 1) {
            return failure("not an IPv6 address: \"" + literal + "\"");
        }
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = htons(*port);
        ListenAddress address;
        std::memcpy(&address.socketAddress, &ipv6, sizeof ipv6);
        address.socketAddressLength = sizeof ipv6;
        char shown[INET6_ADDRSTRLEN] = "";
        inet_ntop(AF_INET6, &ipv6.sin6_addr, shown, sizeof shown);
        address.text = "[" + std::string(shown) + "]:" + std::to_string(*port);
        return {std::move(address), {}};
    }
    const std::string literal(host);
    in_addr ipv4{};
    if (inet_pton(AF_INET, literal.c_str(), &ipv4) != 1) {
        if (literal.find(':') != std::string::npos) {
            return failure("write an IPv6 address in brackets, e.g. [" + literal + "]:" + std::to_string(*port));
        }
        return failure("not an IPv4 address, [IPv6] address or \"localhost\": \"" + literal + "\"");
    }
    return {ipv4Address(ipv4, *port), {}};
}

}  // namespace sondrel
