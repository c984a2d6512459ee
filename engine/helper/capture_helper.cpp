#include "engine/helper/capture_helper.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>

#include "base/file_descriptor.h"
#include "wire/commands.h"
#include "wire/descriptor_io.h"
#include "wire/events.h"
#include "base/text.h"
#include "engine/owners/owner_claims.h"
#include "base/protocol_names.h"

namespace sondrel {

namespace {

constexpr std::size_t kReadSize = 256 * 1024;

// Messages go to the notifier one after another on a thread of their own:
// the notifier blocks until the user has dismissed a box, and the reader
// must never stop reading meanwhile, or the helper's capture would stall.
class MessagePump {
public:
    explicit MessagePump(std::shared_ptr<Notifier> notifier) : m_state(std::make_shared<State>(std::move(notifier))) {}

    void post(std::u16string caption, std::u16string text, MessageIcon icon) {
        push(Item{false, std::move(caption), std::move(text), icon});
    }
    void postLibraryMissing() { push(Item{true, {}, {}, MessageIcon::None}); }

private:
    struct Item {
        bool libraryMissing;
        std::u16string caption;
        std::u16string text;
        MessageIcon icon;
    };
    struct State {
        explicit State(std::shared_ptr<Notifier> n) : notifier(std::move(n)) {}
        std::shared_ptr<Notifier> notifier;
        std::mutex lock;
        std::condition_variable ready;
        std::deque<Item> items;
        bool running = false;
    };

    void push(Item item) {
        const std::scoped_lock guard(m_state->lock);
        m_state->items.push_back(std::move(item));
        if (!m_state->running) {
            m_state->running = true;
            std::thread(run, m_state).detach();
        }
    }
    static void run(std::shared_ptr<State> state) {
        std::unique_lock lock(state->lock);
        while (!state->items.empty()) {
            Item item = std::move(state->items.front());
            state->items.pop_front();
            lock.unlock();
            if (item.libraryMissing) {
                state->notifier->showCaptureLibraryMissing();
            } else {
                state->notifier->showMessage(item.caption, item.text, item.icon);
            }
            lock.lock();
        }
        state->running = false;
    }

    std::shared_ptr<State> m_state;
};

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

// Moves a descriptor to 3 or above, so the child's dup2 onto 0 and 1 can
// never overwrite the other pipe's end.
int aboveStandard(int fd) {
    if (fd > 2) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

}  // namespace

struct CaptureHelper::Shared {
    Shared(std::shared_ptr<CaptureControl> c, std::shared_ptr<Notifier> n, std::string path)
        : control(std::move(c)), pump(std::move(n)), helperPath(std::move(path)) {}

    const std::shared_ptr<CaptureControl> control;
    MessagePump pump;
    const std::string helperPath;
    OwnerClaims claims;
    std::atomic<bool> discoveryEnabled{true};

    mutable std::mutex lock;  // guards everything below
    CaptureStatus status;
    std::vector<Ipv6Address> ipv6;
    FileDescriptor commands;  // invalid while no helper runs
    pid_t pid = -1;
    bool started = false;  // a helper was started (it may have ended since)
    bool ending = false;   // the window ends: the pipe's end is no surprise

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
};

namespace {

using Shared = CaptureHelper::Shared;

// One frame from the helper. False ends the conversation: the helper is not
// to be believed any further.
bool handleFrame(Shared& shared, const wire::Frame& frame, std::vector<PacketRecord>& records,
                 std::vector<OwnerClaim>& claims, bool& greeted) {
    if (!greeted && frame.kind != wire::Kind::Hello && frame.kind != wire::Kind::ExecFailed) return false;
    switch (frame.kind) {
    case wire::Kind::Hello: {
        const auto hello = wire::decodeHello(frame.body);
        if (!hello || hello->magic != wire::kMagic) return false;
        if (hello->version != wire::kProtocolVersion) {
            const std::u16string text = u"Unable to open the adapter!\nThe capture helper " + utf8ToU16(shared.helperPath) +
                                        u" belongs to another version of Sondrel.";
            shared.pump.post(u"Error", text, MessageIcon::Error);
            shared.failCapture(text);
            return false;
        }
        greeted = true;
        return true;
    }
    case wire::Kind::Packets:
        records.clear();
        if (!wire::decodePackets(frame.body, records)) return false;
        shared.control->queue.pushAll(records);
        return true;
    case wire::Kind::OwnerClaims:
        claims.clear();
        if (!wire::decodeOwnerClaims(frame.body, claims)) return false;
        shared.claims.add(claims);
        return true;
    case wire::Kind::ClaimsComplete: {
        const auto upTo = wire::decodeClaimsComplete(frame.body);
        if (!upTo) return false;
        shared.claims.markComplete(*upTo);
        return true;
    }
    case wire::Kind::Message: {
        const auto message = wire::decodeMessage(frame.body);
        if (!message) return false;
        shared.pump.post(utf8ToU16(message->caption), utf8ToU16(message->text), message->icon);
        return true;
    }
    case wire::Kind::CaptureLibraryMissing:
        if (!frame.body.empty()) return false;
        shared.pump.postLibraryMissing();
        shared.failCapture(u"PCAP library is missing");
        return true;
    case wire::Kind::CaptureState: {
        const auto state = wire::decodeCaptureState(frame.body);
        if (!state) return false;
        const std::scoped_lock guard(shared.lock);
        shared.status.ipv4Address = state->ipv4Address;
        shared.status.interfaceName = utf8ToU16(state->interfaceName);
        shared.status.capturing = state->state == wire::CaptureStateKind::Capturing;
        if (state->state == wire::CaptureStateKind::Capturing) shared.status.lastError.clear();
        if (state->state == wire::CaptureStateKind::Failed) shared.status.lastError = utf8ToU16(state->error);
        return true;
    }
    case wire::Kind::Statistics: {
        const auto statistics = wire::decodeStatistics(frame.body);
        if (!statistics) return false;
        const std::scoped_lock guard(shared.lock);
        shared.status.packetsCaptured = statistics->packetsCaptured;
        shared.status.packetsDropped = statistics->packetsDropped;
        return true;
    }
    case wire::Kind::Attribution: {
        const auto attribution = wire::decodeAttribution(frame.body);
        if (!attribution) return false;
        {
            const std::scoped_lock guard(shared.lock);
            shared.status.mode = attribution->mode;
        }
        if (attribution->mode == AttributionMode::None) shared.claims.markFinal();
        return true;
    }
    case wire::Kind::ExecFailed: {
        const auto error = wire::decodeExecFailed(frame.body);
        if (!error) return false;
        const std::u16string text = execFailureText(*error, shared.helperPath);
        shared.pump.post(u"Error", text, MessageIcon::Error);
        shared.failCapture(text);
        return false;
    }
    case wire::Kind::LocalAddresses: {
        std::vector<Ipv6Address> addresses;
        if (!wire::decodeLocalAddresses(frame.body, addresses)) return false;
        const std::scoped_lock guard(shared.lock);
        shared.ipv6 = std::move(addresses);
        shared.status.ipv6AddressCount = shared.ipv6.size();
        return true;
    }
    default: return false;
    }
}

void readEvents(std::shared_ptr<Shared> shared, FileDescriptor events, pid_t pid) {
    wire::FrameReader reader(wire::isEvent);
    std::vector<PacketRecord> records;
    std::vector<OwnerClaim> claims;
    bool greeted = false;
    const bool trusted = wire::readFrames(events.get(), reader, kReadSize, [&](const wire::Frame& frame) {
                             return handleFrame(*shared, frame, records, claims, greeted);
                         }) == wire::StreamEnd::Closed;
    bool expected;
    {
        const std::scoped_lock guard(shared->lock);
        expected = shared->ending;
        shared->commands = FileDescriptor();
        if (shared->pid == pid) shared->pid = -1;
    }
    // A helper that said something it should not have is not left running.
    if (!trusted) kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (!expected && greeted) {
        const std::u16string text = trusted ? u"The capture helper ended unexpectedly: capture and owner discovery have stopped."
                                            : u"The capture helper sent a malformed message and was stopped: capture and owner discovery have stopped.";
        shared->pump.post(u"Error", text, MessageIcon::Error);
        shared->failCapture(text);
    } else if (!greeted) {
        shared->claims.markFinal();
    }
}

}  // namespace

std::string findCaptureHelper() {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return {};
    std::string folder(self, std::size_t(length));
    folder.erase(folder.rfind('/') + 1);
    for (const std::string& candidate : {folder + kCaptureHelperName, folder + "../libexec/sondrel/" + kCaptureHelperName}) {
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return candidate;
    }
    return {};
}

CaptureHelper::CaptureHelper(std::shared_ptr<CaptureControl> control, std::shared_ptr<Notifier> notifier,
                             std::string helperPath)
    : m_shared(std::make_shared<Shared>(std::move(control), std::move(notifier), std::move(helperPath))) {}

CaptureHelper::~CaptureHelper() { shutdown(); }

bool CaptureHelper::ensureRunning() {
    const std::scoped_lock guard(m_shared->lock);
    if (m_shared->commands.valid()) return true;
    if (m_shared->ending) return false;
    const std::string& path = m_shared->helperPath;
    if (path.empty()) {
        const std::u16string text =
            utf8ToU16(std::string("Unable to open the adapter!\nThe capture helper ") + kCaptureHelperName +
                      " is missing: it belongs beside the program or in <prefix>/libexec/sondrel/.");
        m_shared->pump.post(u"Error", text, MessageIcon::Error);
        m_shared->status.lastError = text;
        m_shared->claims.markFinal();
        return false;
    }
    // Writing to a helper that has died must fail, not end the window.
    signal(SIGPIPE, SIG_IGN);
    int commandPipe[2];
    int eventPipe[2];
    if (pipe2(commandPipe, O_CLOEXEC) != 0) return false;
    if (pipe2(eventPipe, O_CLOEXEC) != 0) {
        close(commandPipe[0]);
        close(commandPipe[1]);
        return false;
    }
    for (int* fd : {&commandPipe[0], &commandPipe[1], &eventPipe[0], &eventPipe[1]}) *fd = aboveStandard(*fd);
    // Between fork and exec the child runs only what is safe in a copy of a
    // threaded process: it allocates nothing. Its arguments are made before
    // fork; the frame that reports a failed exec is built on its stack.
    char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
    char* const envp[] = {nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(commandPipe[0], 0);
        dup2(eventPipe[1], 1);
        execve(path.c_str(), argv, envp);
        const wire::ExecFailedFrame execFailed = wire::execFailedFrame(errno);
        [[maybe_unused]] const ssize_t ignored = write(1, execFailed.data(), execFailed.size());
        _exit(127);
    }
    close(commandPipe[0]);
    close(eventPipe[1]);
    if (pid < 0) {
        close(commandPipe[1]);
        close(eventPipe[0]);
        return false;
    }
    m_shared->commands = FileDescriptor(commandPipe[1]);
    m_shared->pid = pid;
    m_shared->started = true;
    std::thread(readEvents, m_shared, FileDescriptor(eventPipe[0]), pid).detach();
    std::vector<std::uint8_t> hello;
    wire::encodeHello(hello);
    return wire::writeAll(m_shared->commands.get(), hello);
}

void CaptureHelper::startCapture() {
    if (!ensureRunning()) return;
    std::vector<std::uint8_t> frame;
    wire::encodeStartCapture(frame, m_shared->control->localAddress.load());
    m_shared->send(frame);
}

void CaptureHelper::stopCapture() {
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

std::vector<Ipv6Address> CaptureHelper::localIpv6Addresses() const {
    const std::scoped_lock guard(m_shared->lock);
    return m_shared->ipv6;
}

int CaptureHelper::StartOwnerDiscovery() {
    m_shared->discoveryEnabled = true;
    return 0;
}

void CaptureHelper::stopOwnerDiscovery() { m_shared->discoveryEnabled = false; }

OwnerLabel CaptureHelper::lookupOwner(const OwnerQuery& query) const {
    if (!m_shared->discoveryEnabled && (query.protocol == 6 || query.protocol == 17))
        return OwnerLabel{&protocolLabel(query.family, std::uint8_t(query.protocol)), true};
    return m_shared->claims.lookupOwner(query);
}

std::int64_t CaptureHelper::claimsCompleteUpTo() const {
    if (!m_shared->discoveryEnabled) return std::numeric_limits<std::int64_t>::max();
    return m_shared->claims.claimsCompleteUpTo();
}

std::optional<pid_t> CaptureHelper::helperProcess() const {
    const std::scoped_lock guard(m_shared->lock);
    if (m_shared->pid <= 0) return std::nullopt;
    return m_shared->pid;
}

}  // namespace sondrel
