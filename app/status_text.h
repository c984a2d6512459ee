#pragma once

#include <string>

#include "app/capture_status.h"
#include "app/rate_meter.h"

namespace sondrel {

// The status line under the lists: what is captured and how it goes, e.g.
// "Capturing eth0 192.0.2.10 (+2 IPv6) · owners: eBPF · ↑ 12 KB/s ↓ 1 MB/s",
// or the last capture failure until capture works again:
// "Not capturing: Unable to open the adapter! (socket: Operation not permitted)".
// Parts the status does not know yet are left out.
std::u16string captureStatusText(const CaptureStatus& status, ByteRate total);

// The notification-area icon's tooltip: the program's name over the status line.
std::u16string trayToolTipText(const CaptureStatus& status, ByteRate total);

}  // namespace sondrel
