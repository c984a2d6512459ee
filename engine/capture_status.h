#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/attribution_mode.h"

namespace sondrel {

// What is captured and how it goes, for the status line, the tray tooltip
// and the metrics. A copy, taken under the engine's own lock.
struct CaptureStatus {
    std::u16string interfaceName;      // empty while nothing is captured
    std::uint32_t ipv4Address = 0;     // network order, as in a packet
    std::size_t ipv6AddressCount = 0;  // addresses of that interface counted as local
    AttributionMode mode = AttributionMode::Unknown;
    bool capturing = false;
    // The last capture failure as the message box showed it ("Unable to open
    // the adapter!" and the reason); empty once capture works again.
    std::u16string lastError;
    std::uint64_t packetsCaptured = 0;
    std::uint64_t packetsDropped = 0;  // lost in the kernel ring or the capture helper
};

}  // namespace sondrel
