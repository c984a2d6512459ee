#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "wire/frames.h"

namespace sondrel::fuzz {

// Feeds the input to a frame reader in chunks whose sizes the input's first
// byte chooses, as read() would hand them over, and calls `frame` for each
// whole frame until the reader gives up.
template <typename OnFrame>
void readFrames(const std::uint8_t* data, std::size_t size, bool (*accept)(wire::Kind), OnFrame frame) {
    if (size == 0) return;
    const std::size_t chunk = std::size_t(data[0] % 64) + 1;
    wire::FrameReader reader(accept);
    for (std::size_t at = 1; at < size; at += chunk) {
        reader.feed(std::span(data + at, std::min(chunk, size - at)));
        wire::Frame next;
        wire::ReadStatus status;
        while ((status = reader.next(next)) == wire::ReadStatus::Frame) frame(next);
        if (status == wire::ReadStatus::Invalid) return;
    }
}

}  // namespace sondrel::fuzz
