#include <gtest/gtest.h>

#include "engine/status_text.h"
#include "tests/support/engine_fakes.h"

namespace sondrel {
namespace {

struct StatusCase {
    const char* name;
    CaptureStatus status;
    ByteRate total;
    std::u16string text;
};

CaptureStatus capturing(std::u16string interfaceName, const char* address, std::size_t ipv6, AttributionMode mode) {
    CaptureStatus status;
    status.interfaceName = std::move(interfaceName);
    status.ipv4Address = address ? testing::ip(address) : 0;
    status.ipv6AddressCount = ipv6;
    status.mode = mode;
    status.capturing = true;
    return status;
}

CaptureStatus failed(std::u16string error) {
    CaptureStatus status = capturing(u"eth0", "192.0.2.10", 0, AttributionMode::Ebpf);
    status.lastError = std::move(error);
    return status;
}

TEST(CaptureStatusText, SaysWhatIsCapturedAndHowItGoes) {
    CaptureStatus dropping = capturing(u"wlan0", "10.0.0.5", 0, AttributionMode::ProcPolling);
    dropping.packetsDropped = 42;
    CaptureStatus stopped = capturing(u"eth0", "192.0.2.10", 0, AttributionMode::Ebpf);
    stopped.capturing = false;
    const auto ofSet = [](CaptureSet::Kind kind, std::vector<std::u16string> names, std::size_t ipv6) {
        CaptureStatus status = capturing(u"any", nullptr, ipv6, AttributionMode::Ebpf);
        status.set = kind;
        status.interfaceNames = std::move(names);
        return status;
    };
    const StatusCase rows[] = {
        {"everything known", capturing(u"eth0", "192.0.2.10", 2, AttributionMode::Ebpf), {12 * 1024 + 5, 1 << 20},
         u"Capturing eth0 192.0.2.10 (+2 IPv6) · owners: eBPF · ↑ 12 KB/s ↓ 1 MB/s"},
        {"no IPv6, /proc scans, drops", dropping, {0, 900},
         u"Capturing wlan0 10.0.0.5 · owners: /proc scans · ↑ 0 B/s ↓ 900 B/s · 42 packets dropped"},
        {"only the address known yet", capturing({}, "192.0.2.10", 0, AttributionMode::Unknown), {},
         u"Capturing 192.0.2.10 · ↑ 0 B/s ↓ 0 B/s"},
        {"no owner tables", capturing(u"eth0", nullptr, 0, AttributionMode::None), {},
         u"Capturing eth0 · owners unknown: protocol names only · ↑ 0 B/s ↓ 0 B/s"},
        {"all interfaces", ofSet(CaptureSet::Kind::All, {u"eth0", u"wg0", u"lo"}, 3), {},
         u"All interfaces: eth0, wg0, lo (+3 IPv6) · owners: eBPF · ↑ 0 B/s ↓ 0 B/s"},
        {"all, none up", ofSet(CaptureSet::Kind::All, {}, 0), {},
         u"All interfaces: none up · owners: eBPF · ↑ 0 B/s ↓ 0 B/s"},
        {"a list", ofSet(CaptureSet::Kind::Names, {u"wg0"}, 0), {},
         u"Interfaces: wg0 · owners: eBPF · ↑ 0 B/s ↓ 0 B/s"},
        {"stopped", stopped, {}, u"Not capturing"},
        {"open failed with its reason", failed(u"Unable to open the adapter!\nsocket: Operation not permitted"),
         {5, 5}, u"Not capturing: Unable to open the adapter! (socket: Operation not permitted)"},
        {"reason over several lines", failed(u"Unable to open the adapter!\nno permission\n\nrun as root\n"), {},
         u"Not capturing: Unable to open the adapter! (no permission; run as root)"},
        {"failure without a reason", failed(u"Wrong interface!"), {}, u"Not capturing: Wrong interface!"},
    };
    for (const auto& row : rows) EXPECT_EQ(captureStatusText(row.status, row.total), row.text) << row.name;
}

TEST(CaptureStatusText, StateLeavesOutWhatMovesEveryTick) {
    CaptureStatus dropping = capturing(u"eth0", "192.0.2.10", 2, AttributionMode::Ebpf);
    dropping.packetsDropped = 7;
    EXPECT_EQ(captureStateText(dropping), u"Capturing eth0 192.0.2.10 (+2 IPv6) · owners: eBPF");
    EXPECT_EQ(captureStateText(failed(u"Unable to open the adapter!\nbusy")), u"");
    EXPECT_EQ(captureStateText(capturing(u"eth0", "192.0.2.10", 0, AttributionMode::Unknown)), u"");
    EXPECT_EQ(captureStateText(capturing({}, "192.0.2.10", 0, AttributionMode::ProcPolling)), u"");
}

TEST(CaptureStatusText, TrayToolTipNamesTheProgramAboveTheStatus) {
    EXPECT_EQ(trayToolTipText(failed(u"Unable to open the adapter!\nbusy"), {}),
              u"Sondrel\nNot capturing: Unable to open the adapter! (busy)");
}

}  // namespace
}  // namespace sondrel
