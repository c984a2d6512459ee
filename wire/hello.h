#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sondrel::wire {

// Both sides start with Hello; a peer speaking another version is not talked to.
inline constexpr std::uint32_t kMagic = 0x52444E53;  // "SNDR" on the wire
inline constexpr std::uint16_t kProtocolVersion = 4;

inline constexpr std::size_t kHelloSize = 6;

struct Hello {
    std::uint32_t magic = kMagic;
    std::uint16_t version = kProtocolVersion;
};

void encodeHello(std::vector<std::uint8_t>& out, const Hello& hello = {});
std::optional<Hello> decodeHello(std::span<const std::uint8_t> body);

}  // namespace sondrel::wire
