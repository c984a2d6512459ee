#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "wire/frames.h"
#include "wire/hello.h"

namespace sondrel::wire {

// What the window tells its capture helper. StopCapture and Shutdown have
// empty bodies (encodeEmpty).
inline constexpr std::size_t kStartCaptureSize = 4;

// Capture on the interface holding this address (network order).
void encodeStartCapture(std::vector<std::uint8_t>& out, std::uint32_t ipv4Address);
std::optional<std::uint32_t> decodeStartCapture(std::span<const std::uint8_t> body);

}  // namespace sondrel::wire
