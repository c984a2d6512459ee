#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
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

using FrameHandler = std::function<bool(const Frame&)>;

// Reads `fd` in chunks of `chunkSize` and hands every whole frame the reader
// accepts to onFrame, until one of the ends above.
StreamEnd readFrames(int fd, FrameReader& reader, std::size_t chunkSize, const FrameHandler& onFrame);

// One chunk of the stream, as one read() returned it: the frames it completes
// go to onFrame. Nothing while the stream may go on; Stopped or Broken when
// it may not.
std::optional<StreamEnd> feedFrames(FrameReader& reader, std::span<const std::uint8_t> chunk,
                                    const FrameHandler& onFrame);

}  // namespace sondrel::wire
