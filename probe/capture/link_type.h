#pragma once

#include <cstdint>

namespace sondrel {

// The link layers whose frames can carry the IP packets we count. VPN and
// tunnel interfaces deliver bare IP (Raw), the "any" device delivers Linux
// cooked frames; anything else is Unsupported and never decoded.
// LinuxCooked2 is what the "any" device gives once asked (pcap_set_datalink):
// its header carries the interface index, which the record keeps.
enum class LinkType : std::uint8_t { Ethernet, Raw, LinuxCooked, LinuxCooked2, Unsupported };

}  // namespace sondrel
