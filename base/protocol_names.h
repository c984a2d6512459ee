#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sondrel {

// Display text of an IP protocol number: packets of protocols without ports
// are counted under a pseudo-application of this name. Numbers the table does
// not name (0, 6, 17, the unassigned gaps, 138 and above) read "IP protocol #<n>".
std::u16string GetProtocolName(std::uint16_t protocol);

// The label of a packet no program is known to own, kept for the whole run:
// "TCP protocol" and "UDP protocol" for ports without an owner, otherwise the
// protocol's name. IPv6 names next header 58 "ICMPv6 protocol"; every other
// number reads as for IPv4.
const std::u16string& protocolLabel(std::uint8_t family, std::uint8_t protocol);

// Whether a text is one of the labels above: a program's fallback name must
// never be one of them, or its traffic would hide in a protocol's row.
bool isProtocolLabel(std::u16string_view text);

}  // namespace sondrel
