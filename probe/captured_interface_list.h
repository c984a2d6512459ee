#pragma once

#include <span>
#include <string>

#include "base/capture_set.h"
#include "base/captured_interfaces.h"
#include "base/interfaces.h"

namespace sondrel::probe {

// The interfaces a capture of `set` covers now, from getifaddrs rows, with
// the addresses that count as local on each. One address: the interface
// opened (`openDevice`), the configured IPv4 address and the interface's
// IPv6 addresses, as one interface was always counted. A list: the named
// interfaces present; all: every interface that is up; both with every
// address they carry (an address label such as "eth0:1" belongs to eth0).
// Empty while nothing is open.
CapturedInterfaces capturedInterfaces(std::span<const InterfaceListRow> rows, const CaptureSet& set,
                                      const std::string& openDevice);

}  // namespace sondrel::probe
