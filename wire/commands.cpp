#include "wire/commands.h"

#include <cstring>

#include "wire/body_codec.h"

namespace sondrel::wire {

void encodeStartCapture(std::vector<std::uint8_t>& out, std::uint32_t ipv4Address) {
    BodyWriter body;
    body.bytes(reinterpret_cast<const std::uint8_t*>(&ipv4Address), kStartCaptureSize);
    body.finish(out, Kind::StartCapture);
}

std::optional<std::uint32_t> decodeStartCapture(std::span<const std::uint8_t> body) {
    if (body.size() != kStartCaptureSize) return std::nullopt;
    std::uint32_t address;
    std::memcpy(&address, body.data(), kStartCaptureSize);
    return address;
}

}  // namespace sondrel::wire
