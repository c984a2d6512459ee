#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "base/file_descriptor.h"

namespace sondrel::fuzz {

// The input as the reading end of a pipe would hand it over: in chunks whose
// sizes the input's first byte chooses. A sequenced-packet socket keeps every
// chunk a read() of its own, so the same input always splits the same way; a
// thread writes them while the caller reads, and closes at the end.
class ChunkedPipe {
public:
    ChunkedPipe(const std::uint8_t* data, std::size_t size) {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) __builtin_trap();
        m_read = FileDescriptor(ends[0]);
        m_writer = std::thread([data, size, fd = ends[1]] {
            const std::size_t chunk = size == 0 ? 1 : std::size_t(data[0] % 64) + 1;
            for (std::size_t at = 1; at < size; at += chunk) {
                if (send(fd, data + at, std::min(chunk, size - at), MSG_NOSIGNAL) < 0) break;  // the reader gave up
            }
            close(fd);
        });
    }
    ~ChunkedPipe() {
        m_read = FileDescriptor();  // a writer still blocked sees the reader gone
        m_writer.join();
    }
    ChunkedPipe(const ChunkedPipe&) = delete;
    ChunkedPipe& operator=(const ChunkedPipe&) = delete;

    // The reading end; once taken, the reader owns and closes it.
    FileDescriptor take() { return std::move(m_read); }
    int fd() const { return m_read.get(); }

private:
    FileDescriptor m_read;
    std::thread m_writer;
};

}  // namespace sondrel::fuzz
