#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace sondrel::e2e {

// IPv4 traffic of one local port and protocol in one direction, as a capture
// file independent of the monitor saw it. Port 0 for protocols without ports.
struct FlowKey {
    std::uint16_t localPort = 0;
    std::uint16_t protocol = 0;
    bool sent = false;  // from the local address; else to it
    auto operator<=>(const FlowKey&) const = default;
};

struct FlowTally {
    std::uint64_t bytes = 0;  // sum of IPv4 total lengths
    std::uint64_t packets = 0;
};

struct PcapTotals {
    bool readable = false;  // a pcap file header of a link type we decode
    std::string problem;    // why not, or why reading stopped early
    std::uint32_t linkType = 0;
    std::uint64_t records = 0;
    std::uint64_t foreignPackets = 0;  // IPv4 neither from nor to the local address
    bool truncatedTail = false;        // the last record was cut short (file still being written)
    std::map<FlowKey, FlowTally> flows;

    FlowTally flow(std::uint16_t localPort, std::uint16_t protocol, bool sent) const;
};

// Reads a classic pcap file (either byte order, micro- or nanosecond magic)
// of Ethernet (1), raw IPv4 (101) or Linux cooked (113) frames, and sums the
// IPv4 total length of every packet from or to `localAddress` (network order)
// per local port, protocol and direction. Records cut short at the end are
// left out, so a file that tcpdump is still writing can be read.
//   d4 c3 b2 a1 02 00 04 00 ... (little-endian microsecond header, then records)
PcapTotals sumPcapFile(std::string_view bytes, std::uint32_t localAddress);

}  // namespace sondrel::e2e
