#pragma once

#include <cstdint>

#include "base/packet_record.h"

namespace sondrel {

// The traffic of one flow over an interval: every packet of it had the
// record's addresses, ports, protocol and interface. record.timeNs is the
// time of the interval's first packet (owners are looked up at that time);
// record.length is not used.
struct FlowDelta {
    PacketRecord record;
    std::uint64_t bytes = 0;
    std::uint64_t packets = 0;
};

}  // namespace sondrel
