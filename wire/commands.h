#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/capture_set.h"
#include "wire/frames.h"
#include "wire/hello.h"

namespace sondrel::wire {

// What the window tells its capture helper. StopCapture and Shutdown have
// empty bodies (encodeEmpty).
inline constexpr std::size_t kMaxStartCaptureSize = 1 + 4 + 1 + kMaxNamedInterfaces * (2 + kMaxInterfaceNameBytes);

// Capture this set: its kind, the address (network order; 0 unless Address),
// then the names of a Names set.
void encodeStartCapture(std::vector<std::uint8_t>& out, const CaptureSet& set);
std::optional<CaptureSet> decodeStartCapture(std::span<const std::uint8_t> body);

}  // namespace sondrel::wire
