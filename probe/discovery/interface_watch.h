#pragma once

#include "base/file_descriptor.h"

namespace sondrel {

// Tells when interfaces or their addresses change: a route netlink socket
// joined to groups such as RTMGRP_LINK or the address groups, which any user
// may join. The
// messages are not read for their content, only drained: whoever asks reads
// the interface list afresh, so nothing in them needs to be trusted.
class InterfaceWatch {
public:
    explicit InterfaceWatch(unsigned groups);
    bool valid() const { return m_socket.valid(); }
    // Something changed since the last call (or the kernel's queue overflowed,
    // which may hide a change). Never blocks; false when the socket could not
    // be had (see valid()).
    bool changed();

private:
    FileDescriptor m_socket;
};

}  // namespace sondrel
