#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/capture_set.h"
#include "base/clock.h"
#include "engine/monitor.h"
#include "base/notifier.h"
#include "engine/records.h"
#include "tests/e2e/child_process.h"
#include "probe/capture/pcap_library.h"

namespace sondrel::e2e {

// Dotted IPv4 text to network order; nothing when it is not an address.
std::optional<std::uint32_t> parseAddress(const std::string& dotted);

// Full path of this program, as /proc/self/exe names it.
std::string selfExecutablePath();

// "--name value" pairs of a driver program's command line, keyed by the name
// without its dashes; a missing option reads as empty.
std::map<std::string, std::string> parseOptions(int argc, char** argv);

// User plus system CPU time of this process (or of another) so far, in seconds.
double cpuSeconds();
double cpuSeconds(int pid);

// The whole content of a file; empty when it cannot be read.
std::string readWholeFile(const std::string& path);

// tcpdump writing every frame of `interface` to `pcapPath`, once it says it is
// listening; nothing (and the reason in `error`) when it does not start.
std::optional<ChildProcess> startTcpdump(const std::string& interface, const std::string& pcapPath, std::string& error);

// Prints "PROGRAM: reason" and every message the engine raised; the exit status 1.
int reportFailure(const char* program, const std::string& reason, const std::vector<std::string>& engineMessages = {});

// A folder of this run's own under /tmp, named after `prefix`, removed with
// everything in it on every way out. path() is empty when none could be made.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const std::string& prefix);
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// A UDP socket bound to one local address on a port the kernel chooses.
class UdpSocket {
public:
    static std::optional<UdpSocket> bind(std::uint32_t localAddress, std::string& error);
    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&&) = delete;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    ~UdpSocket();

    std::uint16_t port() const { return m_port; }
    // One datagram of `payloadSize` bytes; its IPv4 total length is 28 + payloadSize.
    bool sendTo(std::uint32_t address, std::uint16_t port, std::size_t payloadSize) const;

private:
    UdpSocket(int fd, std::uint16_t port) : m_fd(fd), m_port(port) {}
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

// Keeps every message the engine raises, so a run can fail with the reason
// (say "Wrong interface!") instead of a bare time-out. Never blocks.
class RecordingNotifier final : public Notifier {
public:
    void showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon icon) override;
    void showCaptureLibraryMissing() override;
    std::vector<std::string> messages() const;

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_messages;
};

// Always noon on an ordinary day: the midnight report never interrupts a run.
class NoonClock final : public Clock {
public:
    std::optional<LocalTime> now() const override { return LocalTime{2027, 3, 10, 12, 0, 0}; }
};

// Copy of the application record called `name`, taken under RecordsLock.
std::optional<AppRecord> findApplication(RecordsState& records, std::u16string_view name);

// A Monitor on the live machine as the main window runs it, without a window:
// settings from an empty folder with the given capture address, no reverse
// look-ups, capture and discovery started.
class LiveMonitor {
public:
    struct Options {
        std::uint32_t localAddress = 0;
        // What --interfaces would give: it takes the place of the address.
        std::optional<CaptureSet> interfaces;
        std::string workFolder;  // settings folder and report folder live here
        // Capture in this process instead of the capture helper, with this
        // library (empty: the system's libpcap).
        bool inProcess = false;
        CaptureLibraryLoader loadCaptureLibrary;
        std::string captureHelperPath;  // empty: the one of this build
    };
    explicit LiveMonitor(const Options& options);
    ~LiveMonitor();

    Monitor& monitor() { return *m_monitor; }
    RecordsState& records() { return *m_monitor->records(); }
    std::vector<std::string> messages() const { return m_notifier->messages(); }
    // The capture helper's process while it runs (capture through the helper only).
    std::optional<int> helperProcess();

    // Ticks every `period` until `done` holds or `timeout` passes; false on time-out
    // or as soon as the engine has raised a message.
    bool tickUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                   std::chrono::milliseconds period = std::chrono::milliseconds(100));

    // Capture and discovery are live once a datagram sent from `socket` to
    // the remote sink is counted under this program's own path. Sends one
    // datagram of `payloadSize` bytes every tick until then.
    bool waitUntilLive(const UdpSocket& socket, std::uint32_t remoteAddress, std::uint16_t remotePort,
                       std::size_t payloadSize, std::chrono::milliseconds timeout);

    // Ticks until every child has ended; false, with the reason, when one has
    // not within `timeout` or ended with a failure.
    bool waitForChildren(const std::vector<ChildProcess*>& children, std::chrono::milliseconds timeout,
                         std::string& error);

    // Sends one datagram from `marker` and ticks until it is counted under
    // this program. Capture keeps frame order, so everything sent before it
    // is counted by then too.
    bool countMarker(const UdpSocket& marker, std::uint32_t remoteAddress, std::uint16_t remotePort,
                     std::size_t payloadSize, std::chrono::milliseconds timeout);

    // Waits (ticking the monitor) until the monitor's own owner lookup names
    // `label` as the owner of `port` for traffic of `family`.
    bool waitUntilOwned(std::uint16_t port, std::uint16_t protocol, const std::u16string& label,
                        std::chrono::milliseconds timeout, std::uint8_t family = kFamilyIpv4);

private:
    std::shared_ptr<RecordingNotifier> m_notifier;
    std::unique_ptr<Monitor> m_monitor;
};

}  // namespace sondrel::e2e
