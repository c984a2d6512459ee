#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace sondrel::test {

// Runs a loaded socket filter once on `data` with BPF_PROG_TEST_RUN and
// returns what it returned; empty when the kernel refuses the run. The kernel
// takes data's first 14 bytes for an Ethernet header (skb->protocol is its
// EtherType) and shows the program only what follows. interfaceIndex 0 or 1
// runs it as on the loopback device; another must name an existing device.
// Apart from decode_frame.h: libbpf's uapi headers and libpcap's clash.
std::optional<std::uint32_t> runSocketFilter(int programFd, std::span<const std::uint8_t> data,
                                             std::uint32_t interfaceIndex = 0);

}  // namespace sondrel::test
