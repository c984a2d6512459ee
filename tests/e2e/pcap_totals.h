#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/packet_record.h"

namespace sondrel::e2e {

// The traffic of one local port and protocol of one family in one
// direction, as a capture file independent of the monitor saw it. Port 0 for
// protocols without ports.
struct FlowKey {
    std::uint16_t localPort = 0;
    std::uint16_t protocol = 0;  // IPv4 Protocol; IPv6 upper-layer Next Header
    bool sent = false;           // from a local address; else to one
    std::uint8_t family = kFamilyIpv4;
    auto operator<=>(const FlowKey&) const = default;
};

struct FlowTally {
    std::uint64_t bytes = 0;  // sum of IPv4 Total Lengths, IPv6 40 + Payload Lengths
    std::uint64_t packets = 0;
};

struct PcapTotals {
    bool readable = false;  // a pcap file header of a link type we decode
    std::string problem;    // why not, or why reading stopped early
    std::uint32_t linkType = 0;
    std::uint64_t records = 0;
    std::uint64_t foreignPackets = 0;  // neither from nor to a local address
    bool truncatedTail = false;        // the last record was cut short (file still being written)
    std::map<FlowKey, FlowTally> flows;

    FlowTally flow(std::uint16_t localPort, std::uint16_t protocol, bool sent,
                   std::uint8_t family = kFamilyIpv4) const;
};

// Reads a classic pcap file (either byte order, micro- or nanosecond magic)
// of Ethernet (1), raw IP (101) or Linux cooked (113) frames, and sums the
// length at the IP layer of every IPv4 packet from or to `localAddress`
// (network order) and of every IPv6 packet from or to one of `localIpv6`, per
// local port, protocol, direction and family. IPv6 packets are followed
// through hop-by-hop, routing, fragment and destination options headers to
// their upper-layer protocol. A packet between two local addresses counts
// for both ends: sent at its source port, received at its destination port.
// Records cut short at the end are left out, so a file that tcpdump is still
// writing can be read.
//   d4 c3 b2 a1 02 00 04 00 ... (little-endian microsecond header, then records)
PcapTotals sumPcapFile(std::string_view bytes, std::uint32_t localAddress,
                       const std::vector<Ipv6Address>& localIpv6 = {});

}  // namespace sondrel::e2e
