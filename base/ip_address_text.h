#pragma once

#include <string>

#include "base/packet_record.h"

namespace sondrel {

// The RFC 5952 text of an IPv6 address: lowercase hex groups without leading
// zeros, the longest run of two or more zero groups (the first of equal runs)
// written "::", and an IPv4-mapped address (::ffff:0:0/96) as ::ffff:a.b.c.d.
// At most 39 code units.
std::u16string FormatIPv6(const Ipv6Address& address);

// The same text written into out, reusing its storage: once out has held one
// address text, later calls do not allocate (the per-packet path).
void FormatIPv6(const Ipv6Address& address, std::u16string& out);

}  // namespace sondrel
