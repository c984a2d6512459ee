#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "probe/capture/decode_frame.h"

namespace sondrel {

// The record of one frame alone, the captured length taken for the wire
// length. A later fragment keeps ports 0: only DecodeFrame lends it those of
// its first.
std::optional<PacketRecord> decodeFrameBytes(std::span<const std::uint8_t> frame, LinkType linkType);

}  // namespace sondrel
