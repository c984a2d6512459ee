#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sondrel {

// Where the metrics endpoint listens: one IPv4 or IPv6 address and a port.
struct ListenAddress {
    sockaddr_storage socketAddress{};
    socklen_t socketAddressLength = 0;
    std::string text;  // "127.0.0.1:9100", "[::1]:9100": for messages
};

struct ListenAddressParse {
    std::optional<ListenAddress> address;
    std::string error;  // why not, when address is empty
};

// "HOST:PORT" with HOST an IPv4 literal, a bracketed IPv6 literal or
// "localhost" (127.0.0.1), or a bare "PORT" on 127.0.0.1. No name look-up and
// no empty host: an empty host means "every address" elsewhere, and exposing
// the counters beyond this machine must be asked for by naming an address.
//   127.0.0.1:9100    [::1]:9100    0.0.0.0:9100    localhost:9100    9100
ListenAddressParse parseListenAddress(std::string_view text);

// The same address with another port (tests bind port 0 and read the port back).
ListenAddress loopbackListenAddress(std::uint16_t port);

}  // namespace sondrel
