#include "wire/descriptor_io.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

namespace sondrel::wire {

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += std::size_t(wrote);
    }
    return true;
}

StreamEnd readFrames(int fd, FrameReader& reader, std::size_t chunkSize, const FrameHandler& onFrame) {
    std::vector<std::uint8_t> buffer(chunkSize);
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return StreamEnd::Closed;
        if (const auto end = feedFrames(reader, std::span(buffer.data(), std::size_t(got)), onFrame)) return *end;
    }
}

std::optional<StreamEnd> feedFrames(FrameReader& reader, std::span<const std::uint8_t> chunk,
                                    const FrameHandler& onFrame) {
    reader.feed(chunk);
    Frame frame;
    ReadStatus status;
    while ((status = reader.next(frame)) == ReadStatus::Frame) {
        if (!onFrame(frame)) return StreamEnd::Stopped;
    }
    if (status == ReadStatus::Invalid) return StreamEnd::Broken;
    return std::nullopt;
}

}  // namespace sondrel::wire
