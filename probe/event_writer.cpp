#include "probe/event_writer.h"

#include <unistd.h>

#include "wire/descriptor_io.h"

namespace sondrel::probe {

void EventWriter::write(const std::vector<std::uint8_t>& frames) {
    const std::scoped_lock guard(m_lock);
    if (!wire::writeAll(m_fd, frames)) _exit(0);
}

}  // namespace sondrel::probe
