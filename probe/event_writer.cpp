#include "probe/event_writer.h"

#include <unistd.h>

#include <cerrno>

namespace sondrel::probe {

void EventWriter::write(const std::vector<std::uint8_t>& frames) {
    const std::scoped_lock guard(m_lock);
    std::size_t done = 0;
    while (done < frames.size()) {
        const ssize_t wrote = ::write(m_fd, frames.data() + done, frames.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) _exit(0);
        done += std::size_t(wrote);
    }
}

}  // namespace sondrel::probe
