#pragma once

#include <string>

#include "engine/capture_status.h"
#include "engine/rate_meter.h"

namespace sondrel {

// The status line under the lists: what is captured and how it goes, e.g.
// "Capturing eth0 192.0.2.10 (+2 IPv6) · owners: eBPF · ↑ 12 KB/s ↓ 1 MB/s",
// or the last capture failure until capture works again:
// "Not capturing: Unable to open the adapter! (socket: Operation not permitted)".
// Parts the status does not know yet are left out.
std::u16string captureStatusText(const CaptureStatus& status, ByteRate total);

// What is captured and how, without the figures that move every tick: the
// line headless mode logs whenever it changes, since it has no status line.
// Empty until the interface and the way owners are found are known, and while
// a capture failure stands (its message was told already).
std::u16string captureStateText(const CaptureStatus& status);

// The notification-area icon's tooltip: the program's name over the status line.
std::u16string trayToolTipText(const CaptureStatus& status, ByteRate total);

}  // namespace sondrel
