#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace sondrel::fuzz {

// The input as reads of a pipe would hand it over: in chunks whose sizes the
// input's first byte chooses. `chunk` returns false to stop.
template <typename OnChunk>
void forEachChunk(const std::uint8_t* data, std::size_t size, OnChunk chunk) {
    if (size == 0) return;
    const std::size_t step = std::size_t(data[0] % 64) + 1;
    for (std::size_t at = 1; at < size; at += step) {
        if (!chunk(std::span(data + at, std::min(step, size - at)))) return;
    }
}

}  // namespace sondrel::fuzz
