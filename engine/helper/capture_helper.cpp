#include "engine/helper/capture_helper.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

#include "base/file_descriptor.h"
#include "base/protocol_names.h"
#include "base/text.h"
#include "engine/helper/helper_connection.h"
#include "engine/helper/helper_process.h"
#include "engine/helper/message_pump.h"
#include "engine/owners/owner_claims.h"
#include "wire/commands.h"
#include "wire/descriptor_io.h"
#include "wire/events.h"

namespace sondrel {

namespace {

std::string currentUserName() {
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_name != nullptr ? entry->pw_name : "$USER";
}

std::u16string execFailureText(int error, const std::string& path) {
    std::u16string text = u"Unable to open the adapter!\n";
    if (error == EACCES || error == EPERM) {
        text += utf8ToU16("Only members of the group \"" + std::string(kCaptureGroup) + "\" may capture: run \"sudo adduser " +
                          currentUserName() + " " + kCaptureGroup + "\", then log out and in again.");
    } else {
        text += utf8ToU16("The capture helper " + path + " cannot be started: " + std::strerror(error));
    }
    return text;
}

using SteadyTime = std::chrono::steady_clock::time_point;

// A helper that ends unexpectedly is started again: at once, then after 1 s,
// doubling up to 60 s while it keeps ending; more than kMaxEnds ends within
// kEndWindow and it stays down (the service's supervisor takes over).
constexpr std::size_t kMaxEnds = 5;
constexpr auto kEndWindow = std::chrono::minutes(5);
constexpr auto kLongestPause = std::chrono::seconds(60);
// A helper sends statistics every second; one silent for longer hangs (or
// was stopped) and is handled as one that ended. A new one may first spend
// a few seconds loading its probes.
constexpr auto kSilenceLimit = std::chrono::seconds(3);
constexpr auto kStartGrace = std::chrono::seconds(10);

}  // namespace

// What the facade and the reader thread share; what the helper says lands here.
struct CaptureHelper::Shared final : HelperEvents, std::enable_shared_from_this<CaptureHelper::Shared> {
    Shared(std::shared_ptr<CaptureControl> c, std::shared_ptr<Notifier> n, std::string path)
        : control(std::move(c)), notifier(n), pump(std::move(n)), helperPath(std::move(path)) {}

    const std::shared_ptr<CaptureControl> control;
    const std::shared_ptr<Notifier> notifier;
    MessagePump pump;
    const std::string helperPath;
    OwnerClaims claims;
    std::atomic<bool> DiscoveryEnabled{true};

    mutable std::mutex lock;  // guards everything below
    CaptureStatus status;
    CapturedInterfaces captured;
    FileDescriptor commands;  // invalid while no helper runs
    pid_t pid = -1;
    bool started = false;  // a helper was started (it may have ended since)
    bool ending = false;   // the window ends: the pipe's end is no surprise
    bool captureWanted = false;  // StartCapture was the last capture command
    std::deque<SteadyTime> unexpectedEnds;  // within the last kEndWindow
    SteadyTime lastHeard;      // the current helper's last statistics (or its start, plus kStartGrace)
    bool notResponding = false;  // the current helper was killed for its silence
    // What earlier helpers counted: a new one starts its statistics from zero.
    std::uint64_t capturedBefore = 0, droppedBefore = 0, inKernelBefore = 0, tableFullBefore = 0;

    bool send(const std::vector<std::uint8_t>& frame) {
        const std::scoped_lock guard(lock);
        return commands.valid() && wire::writeAll(commands.get(), frame);
    }

    void failCapture(const std::u16string& text) {
        {
            const std::scoped_lock guard(lock);
            status.capturing = false;
            status.lastError = text;
        }
        claims.markFinal();
    }

    void reportFailure(const std::u16string& text) {
        pump.post(u"Error", text, MessageIcon::Error);
        failCapture(text);
    }

    // HelperEvents
    void otherVersion() override {
        reportFailure(u"Unable to open the adapter!\nThe capture helper " + utf8ToU16(helperPath) +
                      u" belongs to another version of Sondrel.");
    }
    void execFailed(int error) override { reportFailure(execFailureText(error, helperPath)); }
    void flows(std::span<const FlowDelta> flows) override { control->queue.pushFlows(flows); }
    void ownerClaims(std::span<const OwnerClaim> batch) override { claims.add(batch); }
    void flowClaims(std::span<const FlowClaim> batch) override { claims.addFlows(batch); }
    void packetSends(const std::string& label, std::span<const PacketSend> sends) override {
        claims.addPacketSends(label, sends);
    }
    void claimsComplete(std::int64_t upToNs) override { claims.markComplete(upToNs); }
    void message(const wire::Message& message) override {
        pump.post(utf8ToU16(message.caption), utf8ToU16(message.text), message.icon);
    }
    void captureLibraryMissing() override {
        pump.postLibraryMissing();
        failCapture(u"PCAP library is missing");
    }
    void captureState(const wire::CaptureState& state) override {
        const std::scoped_lock guard(lock);
        status.ipv4Address = state.ipv4Address;
        status.interfaceName = utf8ToU16(state.interfaceName);
        status.capturing = state.state == wire::CaptureStateKind::Capturing;
        if (state.state == wire::CaptureStateKind::Capturing) status.lastError.clear();
        if (state.state == wire::CaptureStateKind::Failed) status.lastError = utf8ToU16(state.error);
    }
    void statistics(const wire::Statistics& statistics) override {
        const std::scoped_lock guard(lock);
        lastHeard = std::chrono::steady_clock::now();
        status.packetsCaptured = capturedBefore + statistics.packetsCaptured;
        status.packetsDropped = droppedBefore + statistics.packetsDropped;
        status.packetsCountedInKernel = inKernelBefore + statistics.packetsCountedInKernel;
        status.kernelTableFull = tableFullBefore + statistics.kernelTableFull;
    }
    void attribution(const wire::Attribution& attribution) override {
        {
            const std::scoped_lock guard(lock);
            status.mode = attribution.mode;
        }
        if (attribution.mode == AttributionMode::None) claims.markFinal();
    }
    void interfaces(CapturedInterfaces interfaces) override {
        const std::scoped_lock guard(lock);
        captured = std::move(interfaces);
        describeInterfaces(status, captured);
    }

    // Starts the helper when none runs; false when none could be started.
    bool ensureRunning();
    void sendStartCapture();
    // A greeted, well-behaved helper's pipe ended while the window goes on:
    // the pause before the next start, or nullopt when it is to stay down.
    std::optional<std::chrono::milliseconds> endedUnexpectedly(std::string how);
    void restartAfter(std::chrono::milliseconds pause);
    // Until `helper` is gone: ends it once it has been silent too long.
    void watch(pid_t helper);
};

namespace {

using Shared = CaptureHelper::Shared;

void readEvents(std::shared_ptr<Shared> shared, FileDescriptor events, pid_t pid) {
    HelperConnection connection(std::move(events), *shared);
    const bool trusted = connection.run();
    const bool greeted = connection.greeted();
    bool expected;
    {
        const std::scoped_lock guard(shared->lock);
        expected = shared->ending;
        shared->commands = FileDescriptor();
        if (shared->pid == pid) shared->pid = -1;
    }
    // A helper that said something it should not have is not left running.
    if (!trusted) killHelper(pid);
    const int waitStatus = reapHelper(pid);
    if (!expected && greeted && trusted) {
        if (const std::optional<std::chrono::milliseconds> pause = shared->endedUnexpectedly(helperEndText(waitStatus)))
            shared->restartAfter(*pause);
    } else if (!expected && greeted) {
        shared->reportFailure(u"The capture helper sent a malformed message and was stopped: capture and owner discovery have stopped.");
    } else if (!greeted) {
        shared->claims.markFinal();
    }
}

}  // namespace

CaptureHelper::CaptureHelper(std::shared_ptr<CaptureControl> control, std::shared_ptr<Notifier> notifier,
                             std::string helperPath)
    : m_shared(std::make_shared<Shared>(std::move(control), std::move(notifier), std::move(helperPath))) {}

CaptureHelper::~CaptureHelper() { shutdown(); }

bool CaptureHelper::Shared::ensureRunning() {
    const std::scoped_lock guard(lock);
    if (commands.valid()) return true;
    if (ending) return false;
    if (helperPath.empty()) {
        const std::u16string text =
            utf8ToU16(std::string("Unable to open the adapter!\nThe capture helper ") + kCaptureHelperName +
                      " is missing: it belongs beside the program or in <prefix>/libexec/sondrel/.");
        pump.post(u"Error", text, MessageIcon::Error);
        status.lastError = text;
        claims.markFinal();
        return false;
    }
    std::optional<HelperProcess> helper = spawnHelper(helperPath);
    if (!helper) return false;
    commands = std::move(helper->commands);
    pid = helper->pid;
    started = true;
    lastHeard = std::chrono::steady_clock::now() + kStartGrace;
    notResponding = false;
    std::thread(readEvents, shared_from_this(), std::move(helper->events), helper->pid).detach();
    std::thread([self = shared_from_this(), watched = helper->pid] { self->watch(watched); }).detach();
    std::vector<std::uint8_t> hello;
    wire::encodeHello(hello);
    return wire::writeAll(commands.get(), hello);
}

void CaptureHelper::Shared::sendStartCapture() {
    std::vector<std::uint8_t> frame;
    const CaptureSet set = control->captureSet();
    {
        const std::scoped_lock guard(lock);
        status.set = set.kind;
        captureWanted = true;
    }
    wire::encodeStartCapture(frame, set);
    send(frame);
}

void CaptureHelper::Shared::watch(pid_t helper) {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        {
            const std::scoped_lock guard(lock);
            if (ending || pid != helper) return;
            if (std::chrono::steady_clock::now() - lastHeard <= kSilenceLimit) continue;
            notResponding = true;
            status.capturing = false;
            status.mode = AttributionMode::None;
            status.lastError = u"The capture helper is not responding";
        }
        notifier->showNotice(u"Warning", u"The capture helper is not responding: it is stopped and started again.",
                             MessageIcon::Warning);
        // Its pipe's end then comes to the reader as any other end.
        killHelper(helper);
        return;
    }
}

std::optional<std::chrono::milliseconds> CaptureHelper::Shared::endedUnexpectedly(std::string how) {
    const auto now = std::chrono::steady_clock::now();
    std::size_t ends;
    bool silent;
    {
        const std::scoped_lock guard(lock);
        silent = std::exchange(notResponding, false);
        if (silent) how = "it stopped responding";
        status.mode = AttributionMode::None;
        while (!unexpectedEnds.empty() && now - unexpectedEnds.front() > kEndWindow) unexpectedEnds.pop_front();
        unexpectedEnds.push_back(now);
        ends = unexpectedEnds.size();
        capturedBefore = status.packetsCaptured;
        droppedBefore = status.packetsDropped;
        inKernelBefore = status.packetsCountedInKernel;
        tableFullBefore = status.kernelTableFull;
    }
    if (ends > kMaxEnds) {
        {
            const std::scoped_lock guard(lock);
            status.helperGaveUp = true;
        }
        reportFailure(utf8ToU16("The capture helper ended unexpectedly " + std::to_string(ends) +
                                " times within five minutes (the last time " + how +
                                "): capture and owner discovery have stopped."));
        return std::nullopt;
    }
    // The counts so far stay; what the helper had not yet sent is lost with it.
    const std::u16string text = utf8ToU16("The capture helper ended unexpectedly (" + how + ") and is started again.");
    {
        const std::scoped_lock guard(lock);
        status.capturing = false;
        status.lastError = text;
    }
    // A silent one was told of already.
    if (!silent) notifier->showNotice(u"Warning", text, MessageIcon::Warning);
    if (ends == 1) return std::chrono::milliseconds(0);
    return std::min<std::chrono::milliseconds>(std::chrono::seconds(1) * (1 << std::min<std::size_t>(ends - 2, 6)),
                                               kLongestPause);
}

void CaptureHelper::Shared::restartAfter(std::chrono::milliseconds pause) {
    const auto until = std::chrono::steady_clock::now() + pause;
    for (;;) {
        {
            const std::scoped_lock guard(lock);
            if (ending) return;
        }
        if (std::chrono::steady_clock::now() >= until) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    bool wanted;
    {
        const std::scoped_lock guard(lock);
        wanted = captureWanted;
    }
    if (!ensureRunning()) return;
    if (wanted && control->captureRunning.load()) sendStartCapture();
}

void CaptureHelper::startCapture() {
    if (!m_shared->ensureRunning()) return;
    m_shared->sendStartCapture();
}

void CaptureHelper::stopCapture() {
    {
        const std::scoped_lock guard(m_shared->lock);
        m_shared->captureWanted = false;
    }
    std::vector<std::uint8_t> frame;
    wire::encodeEmpty(frame, wire::Kind::StopCapture);
    m_shared->send(frame);
}

void CaptureHelper::shutdown() {
    {
        const std::scoped_lock guard(m_shared->lock);
        m_shared->ending = true;
    }
    std::vector<std::uint8_t> frame;
    wire::encodeEmpty(frame, wire::Kind::StopCapture);
    wire::encodeEmpty(frame, wire::Kind::Shutdown);
    m_shared->send(frame);
    // The helper also ends on the pipe's end alone, whatever it is doing.
    const std::scoped_lock guard(m_shared->lock);
    m_shared->commands = FileDescriptor();
}

CaptureStatus CaptureHelper::status() const {
    const std::scoped_lock guard(m_shared->lock);
    return m_shared->status;
}

CapturedInterfaces CaptureHelper::capturedInterfaces() const {
    const std::scoped_lock guard(m_shared->lock);
    return m_shared->captured;
}

int CaptureHelper::StartOwnerDiscovery() {
    m_shared->DiscoveryEnabled = true;
    return 0;
}

void CaptureHelper::StopOwnerDiscovery() { m_shared->DiscoveryEnabled = false; }

OwnerLabel CaptureHelper::lookupOwner(const OwnerQuery& query) const {
    if (!m_shared->DiscoveryEnabled) return OwnerLabel{&protocolLabel(query.family, std::uint8_t(query.protocol)), true};
    return m_shared->claims.lookupOwner(query);
}

OwnerLabel CaptureHelper::takePacketSender(const PacketRecord& record) const {
    if (!m_shared->DiscoveryEnabled) return {};
    return m_shared->claims.takePacketSender(record);
}

OwnerLabel CaptureHelper::tunnelAt(const OwnerQuery& query) const {
    if (!m_shared->DiscoveryEnabled) return {};
    return m_shared->claims.tunnelAt(query);
}

std::int64_t CaptureHelper::claimsCompleteUpTo() const {
    if (!m_shared->DiscoveryEnabled) return std::numeric_limits<std::int64_t>::max();
    return m_shared->claims.claimsCompleteUpTo();
}

std::optional<pid_t> CaptureHelper::helperProcess() const {
    const std::scoped_lock guard(m_shared->lock);
    if (m_shared->pid <= 0) return std::nullopt;
    return m_shared->pid;
}

}  // namespace sondrel
