#pragma once

#include <cstdint>

#include "probe/capture/link_type.h"

namespace sondrel {

// Counting in the kernel, where its counter is loaded: the capture thread
// hands it each capture socket it opens. A frame the kernel counts never
// reaches user space; one it cannot count (table full, an interface not yet
// known, a packet socket's own frame) arrives as before, so each frame is
// counted exactly once either way.
class KernelCounting {
public:
    virtual ~KernelCounting() = default;
    // From now on, frames of this socket are counted in the kernel where they
    // can be; false: every frame still reaches user space.
    virtual bool attach(int socketFd, LinkType link, bool namedInterfaces) = 0;
    // A capture of named interfaces: the verdict of the capture thread's
    // InterfaceFilter on an index, which the kernel then applies itself.
    virtual void setInterfaceCounted(std::uint32_t index, bool counted) = 0;
    virtual void forgetInterfaces() = 0;
};

// A kernel-counted socket sees only what the kernel could not count: its
// ring can be small. The whole ring is resident, so this is memory given back.
inline constexpr int kKernelCountedBufferBytes = 4 << 20;

}  // namespace sondrel
