#pragma once

#include <cstdint>
#include <string>

namespace sondrel {

// Display text of an IP protocol number: packets of protocols without ports
// are counted under a pseudo-application of this name. Numbers the table does
// not name (0, 6, 17, the unassigned gaps, 138 and above) read "IP protocol #<n>".
std::u16string GetProtocolName(std::uint16_t protocol);

}  // namespace sondrel
