#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace sondrel::test {

// a.b.c.d in network order, as a packet holds it.
inline std::uint32_t ipv4(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    const std::array<unsigned char, 4> bytes = {a, b, c, d};
    std::uint32_t address = 0;
    std::memcpy(&address, bytes.data(), bytes.size());
    return address;
}

}  // namespace sondrel::test
