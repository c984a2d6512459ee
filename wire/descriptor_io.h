#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "wire/frames.h"

namespace sondrel::wire {

// Writes every byte, going on after signals and partial writes. False when
// the descriptor takes no more: on a pipe, the reader has gone.
bool writeAll(int fd, std::span<const std::uint8_t> bytes);

enum class StreamEnd {
    Closed,   // the writer closed its end, or reading failed
    Stopped,  // onFrame said no further
    Broken,   // the framing broke: nothing more can be trusted
};

// Reads `fd` in chunks of `chunkSize` and hands every whole frame the reader
// accepts to onFrame, until one of the ends above.
StreamEnd readFrames(int fd, FrameReader& reader, std::size_t chunkSize,
                     const std::function<bool(const Frame&)>& onFrame);

}  // namespace sondrel::wire
