#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace sondrel::probe {

// The pipe to the window. Every frame is written whole under one lock, so
// frames of the capture, discovery and forwarding threads never interleave.
// When the window has gone (the pipe's reader closed), the helper ends: it
// has no one left to work for.
class EventWriter {
public:
    explicit EventWriter(int fd) : m_fd(fd) {}

    void write(const std::vector<std::uint8_t>& frames);

private:
    std::mutex m_lock;
    int m_fd;
};

}  // namespace sondrel::probe
