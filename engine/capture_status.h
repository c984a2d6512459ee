#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <vector>

#include "base/attribution_mode.h"
#include "base/capture_set.h"
#include "base/captured_interfaces.h"
#include "base/text.h"

namespace sondrel {

// What is captured and how it goes, for the status line, the tray tooltip
// and the metrics. A copy, taken under the engine's own lock.
struct CaptureStatus {
    std::u16string interfaceName;      // empty while nothing is captured
    std::uint32_t ipv4Address = 0;     // network order, as in a packet
    std::size_t ipv6AddressCount = 0;  // addresses of the captured interfaces counted as local
    // A list or all: the interfaces captured now, in the helper's order.
    CaptureSet::Kind set = CaptureSet::Kind::Address;
    std::vector<std::u16string> interfaceNames;
    AttributionMode mode = AttributionMode::Unknown;
    bool capturing = false;
    // The last capture failure as the message box showed it ("Unable to open
    // the adapter!" and the reason); empty once capture works again.
    std::u16string lastError;
    std::uint64_t packetsCaptured = 0;
    std::uint64_t packetsDropped = 0;  // lost in the kernel ring or the capture helper
    // Counted by the kernel's flow counter, and passed to user space instead because its table was full.
    std::uint64_t packetsCountedInKernel = 0;
    std::uint64_t kernelTableFull = 0;
    // The capture helper kept ending and is no longer started again.
    bool helperGaveUp = false;
};

// Fills the interface fields of `status` from what the helper captures.
inline void describeInterfaces(CaptureStatus& status, const CapturedInterfaces& interfaces) {
    status.interfaceNames.clear();
    status.ipv6AddressCount = 0;
    for (const CapturedInterface& captured : interfaces) {
        status.interfaceNames.push_back(utf8ToU16(captured.name));
        status.ipv6AddressCount += captured.ipv6.size();
    }
}

}  // namespace sondrel
