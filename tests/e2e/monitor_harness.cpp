#include "tests/e2e/monitor_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "engine/helper/capture_helper.h"
#include "tests/support/in_process_sources.h"
#include "base/text.h"
#include "config/settings.h"

namespace sondrel::e2e {

std::optional<std::uint32_t> parseAddress(const std::string& dotted) {
    in_addr address{};
    if (inet_pton(AF_INET, dotted.c_str(), &address) != 1) return std::nullopt;
    return address.s_addr;
}

std::string selfExecutablePath() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

std::map<std::string, std::string> parseOptions(int argc, char** argv) {
    std::map<std::string, std::string> options;
    for (int i = 1; i + 1 < argc; i += 2) options[std::string(argv[i]).substr(2)] = argv[i + 1];
    return options;
}

double cpuSeconds() { return cpuSeconds(getpid()); }

double cpuSeconds(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::stoull(field);
        if (index == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::optional<ChildProcess> startTcpdump(const std::string& interface, const std::string& pcapPath, std::string& error) {
    auto tcpdump = ChildProcess::start({"tcpdump", "-i", interface, "-n", "-U", "-Z", "root", "-w", pcapPath},
                                       {.errors = true}, error);
    if (!tcpdump) return std::nullopt;
    for (;;) {
        const std::optional<std::string> line = tcpdump->readErrorLine(std::chrono::seconds(10));
        if (!line) {
            error = "tcpdump did not start listening: " + tcpdump->drainErrors();
            return std::nullopt;
        }
        if (line->find("listening on") != std::string::npos) return tcpdump;
    }
}

int reportFailure(const char* program, const std::string& reason, const std::vector<std::string>& engineMessages) {
    std::fprintf(stderr, "%s: %s\n", program, reason.c_str());
    for (const std::string& message : engineMessages) std::fprintf(stderr, "  engine said: %s\n", message.c_str());
    return 1;
}

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
    std::string name = "/tmp/" + prefix + ".XXXXXX";
    if (::mkdtemp(name.data()) != nullptr) m_path = name;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
}

std::optional<UdpSocket> UdpSocket::bind(std::uint32_t localAddress, std::string& error) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return std::nullopt;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = localAddress;
    socklen_t length = sizeof local;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        error = std::string("bind: ") + std::strerror(errno);
        ::close(fd);
        return std::nullopt;
    }
    return UdpSocket(fd, ntohs(local.sin_port));
}

UdpSocket::UdpSocket(UdpSocket&& other) noexcept : m_fd(other.m_fd), m_port(other.m_port) { other.m_fd = -1; }

UdpSocket::~UdpSocket() {
    if (m_fd >= 0) ::close(m_fd);
}

bool UdpSocket::sendTo(std::uint32_t address, std::uint16_t port, std::size_t payloadSize) const {
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = address;
    remote.sin_port = htons(port);
    const std::vector<char> payload(payloadSize, 'p');
    return ::sendto(m_fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&remote), sizeof remote) ==
           static_cast<ssize_t>(payloadSize);
}

void RecordingNotifier::showMessage(const std::u16string& caption, const std::u16string& text, MessageIcon) {
    const std::scoped_lock guard(m_lock);
    m_messages.push_back(u16ToUtf8(caption) + ": " + u16ToUtf8(text));
}

void RecordingNotifier::showCaptureLibraryMissing() {
    const std::scoped_lock guard(m_lock);
    m_messages.push_back("the capture library (libpcap) could not be loaded");
}

std::vector<std::string> RecordingNotifier::messages() const {
    const std::scoped_lock guard(m_lock);
    return m_messages;
}

std::optional<AppRecord> findApplication(RecordsState& records, std::u16string_view name) {
    const std::scoped_lock guard(records.RecordsLock);
    const std::size_t index = records.table.findApp(name);
    if (index == AppTable::npos) return std::nullopt;
    return records.table.app(index);
}

namespace {

MonitorServices servicesFor(const LiveMonitor::Options& options, const std::shared_ptr<RecordingNotifier>& notifier) {
    MonitorServices services;
    services.notifier = notifier;
    services.clock = std::make_shared<NoonClock>();
    services.reverseLookup = [](const IpAddress&) { return std::optional<std::string>(); };
    services.settingsFolder = options.workFolder + "/settings";
    auto defaults = std::make_shared<SettingsDefaults>();
    defaults->reportFolder = utf8ToU16(options.workFolder);
    defaults->localAddress = options.localAddress;
    services.settingsDefaults = defaults;
    if (options.inProcess) {
        services.makeSources = inProcessSources("/proc", options.loadCaptureLibrary);
    } else {
        services.captureHelperPath = options.captureHelperPath.empty() ? SONDREL_CAPTURE_HELPER : options.captureHelperPath;
    }
    return services;
}

}  // namespace

LiveMonitor::LiveMonitor(const Options& options)
    : m_notifier(std::make_shared<RecordingNotifier>()),
      m_monitor(std::make_unique<Monitor>(servicesFor(options, m_notifier))) {
    if (options.interfaces) m_monitor->setInterfaceOverride(*options.interfaces);
    m_monitor->loadSettings();
    m_monitor->start();
}

LiveMonitor::~LiveMonitor() { m_monitor->stop(); }

std::optional<int> LiveMonitor::helperProcess() {
    const auto* helper = dynamic_cast<const CaptureHelper*>(&m_monitor->packetSource());
    if (helper == nullptr) return std::nullopt;
    return helper->helperProcess();
}

bool LiveMonitor::tickUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                            std::chrono::milliseconds period) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        m_monitor->tick();
        if (done()) return true;
        if (!m_notifier->messages().empty() || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(period);
    }
}

bool LiveMonitor::waitUntilLive(const UdpSocket& socket, std::uint32_t remoteAddress, std::uint16_t remotePort,
                                std::size_t payloadSize, std::chrono::milliseconds timeout) {
    const std::u16string self = utf8ToU16(selfExecutablePath());
    return tickUntil(
        [&] {
            const std::optional<AppRecord> app = findApplication(records(), self);
            if (app) {
                for (const EndpointRecord& endpoint : app->endpoints) {
                    if (endpoint.localPort == socket.port()) return true;
                }
            }
            socket.sendTo(remoteAddress, remotePort, payloadSize);
            return false;
        },
        timeout);
}

bool LiveMonitor::waitForChildren(const std::vector<ChildProcess*>& children, std::chrono::milliseconds timeout,
                                  std::string& error) {
    const auto ended = [&] {
        return std::all_of(children.begin(), children.end(), [](ChildProcess* child) { return child->poll().has_value(); });
    };
    if (!tickUntil(ended, timeout)) {
        error = "the senders did not finish";
        return false;
    }
    for (ChildProcess* child : children) {
        if (*child->poll() != 0) {
            error = child->name() + " " + describeStatus(*child->poll());
            return false;
        }
    }
    return true;
}

bool LiveMonitor::countMarker(const UdpSocket& marker, std::uint32_t remoteAddress, std::uint16_t remotePort,
                              std::size_t payloadSize, std::chrono::milliseconds timeout) {
    if (!marker.sendTo(remoteAddress, remotePort, payloadSize)) return false;
    const std::u16string self = utf8ToU16(selfExecutablePath());
    return tickUntil(
        [&] {
            const std::optional<AppRecord> app = findApplication(records(), self);
            return app && std::any_of(app->endpoints.begin(), app->endpoints.end(),
                                      [&](const EndpointRecord& e) { return e.localPort == marker.port(); });
        },
        timeout);
}

bool LiveMonitor::waitUntilOwned(std::uint16_t port, std::uint16_t protocol, const std::u16string& label,
                                 std::chrono::milliseconds timeout, std::uint8_t family) {
    return tickUntil(
        [&] { return *m_monitor->ownerLookup().lookupOwner(OwnerQuery{family, protocol, port, 0}).text == label; },
        timeout);
}

}  // namespace sondrel::e2e
