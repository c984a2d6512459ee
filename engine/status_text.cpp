#include "engine/status_text.h"

#include <algorithm>

#include "base/text.h"

namespace sondrel {

namespace {

std::u16string_view modeText(AttributionMode mode) {
    switch (mode) {
    case AttributionMode::Ebpf: return u"owners: eBPF";
    case AttributionMode::ProcPolling: return u"owners: /proc scans";
    case AttributionMode::None: return u"owners unknown: protocol names only";
    case AttributionMode::Unknown: break;
    }
    return {};
}

// The message box's text is a headline and the reason on the lines below;
// one status line holds the reason in brackets.
std::u16string errorText(std::u16string_view error) {
    const std::size_t end = error.find(u'\n');
    std::u16string text(error.substr(0, end));
    if (end == std::u16string_view::npos) return text;
    std::u16string reason;
    for (std::size_t start = end + 1; start <= error.size();) {
        const std::size_t next = std::min(error.find(u'\n', start), error.size());
        if (next > start) {
            if (!reason.empty()) reason += u"; ";
            reason += error.substr(start, next - start);
        }
        start = next + 1;
    }
    if (!reason.empty()) text += u" (" + reason + u")";
    return text;
}

// "Capturing eth0 192.0.2.10 (+2 IPv6) · owners: eBPF", as far as it is known.
// A list or all: "All interfaces: eth0, wg0, lo (+3 IPv6) · owners: eBPF".
std::u16string capturingText(const CaptureStatus& status) {
    std::u16string text;
    if (status.set == CaptureSet::Kind::Address) {
        text = u"Capturing";
        if (!status.interfaceName.empty()) text += u" " + status.interfaceName;
        if (status.ipv4Address != 0) text += u" " + FormatIPv4(status.ipv4Address);
    } else {
        text = status.set == CaptureSet::Kind::All ? u"All interfaces:" : u"Interfaces:";
        for (std::size_t i = 0; i < status.interfaceNames.size(); ++i)
            text += (i == 0 ? u" " : u", ") + status.interfaceNames[i];
        if (status.interfaceNames.empty()) text += status.set == CaptureSet::Kind::All ? u" none up" : u" none present";
    }
    if (status.ipv6AddressCount != 0) text += u" (+" + decimalU16(std::uint64_t(status.ipv6AddressCount)) + u" IPv6)";
    if (const std::u16string_view mode = modeText(status.mode); !mode.empty()) {
        text += u" · ";
        text += mode;
    }
    return text;
}

}  // namespace

std::u16string captureStateText(const CaptureStatus& status) {
    const bool known = status.capturing && !status.interfaceName.empty() && status.mode != AttributionMode::Unknown;
    if (!status.lastError.empty() || !known) return {};
    return capturingText(status);
}

std::u16string captureStatusText(const CaptureStatus& status, ByteRate total) {
    if (!status.lastError.empty()) return u"Not capturing: " + errorText(status.lastError);
    if (!status.capturing) return u"Not capturing";
    std::u16string text = capturingText(status);
    text += u" · ↑ " + FormatByteRate(total.ul) + u" ↓ " + FormatByteRate(total.dl);
    if (status.packetsDropped != 0) text += u" · " + decimalU16(status.packetsDropped) + u" packets dropped";
    return text;
}

std::u16string trayToolTipText(const CaptureStatus& status, ByteRate total) {
    return u"Sondrel\n" + captureStatusText(status, total);
}

}  // namespace sondrel
