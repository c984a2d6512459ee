#include "app/headless.h"
#include "app/history_command.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/engine_metrics.h"
#include "engine/monitor.h"
#include "engine/status_text.h"
#include "base/log_notifier.h"
#include "base/text.h"
#include "metrics/metrics_server.h"

namespace sondrel {

namespace {

volatile sig_atomic_t signalPipe = -1;

extern "C" void onTerminationSignal(int number) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe, &byte, 1);
    errno = savedErrno;
}

// The one-second period on the monotonic clock, like the window's timer, so
// that a change of the wall clock (or libfaketime) moves the midnight check
// but not the pace.
int secondTimer() {
    const int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (fd < 0) return -1;
    itimerspec period{};
    period.it_interval.tv_sec = 1;
    period.it_value.tv_sec = 1;
    if (::timerfd_settime(fd, 0, &period, nullptr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The first line of the log: what is captured, and where the metrics are.
std::string startedText(const CaptureSet& set, const MetricsServer* metrics) {
    std::string text = "running without a window, capturing ";
    if (set.kind == CaptureSet::Kind::All) {
        text += "all interfaces";
    } else if (set.kind == CaptureSet::Kind::Names) {
        for (std::size_t i = 0; i < set.names.size(); ++i) text += (i == 0 ? "" : ", ") + set.names[i];
    } else if (set.address != 0) {
        text += u16ToUtf8(FormatIPv4(set.address));
    } else {
        // Without an address in the settings file the default one is still being looked up.
        text += "the default address once it is known";
    }
    if (metrics) text += ", metrics at http://" + metrics->addressText() + "/metrics";
    return text;
}

}  // namespace

TerminationSignals::TerminationSignals() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    m_readFd = fds[0];
    m_writeFd = fds[1];
    signalPipe = m_writeFd;
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

TerminationSignals::~TerminationSignals() {
    if (m_readFd < 0) return;
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    signalPipe = -1;
    ::close(m_readFd);
    ::close(m_writeFd);
}

int runHeadless(TerminationSignals& signals, const HeadlessOptions& options) {
    // A service whose log reader went away must go on counting, not die on its next message.
    std::signal(SIGPIPE, SIG_IGN);
    auto clock = std::make_shared<SystemClock>();
    auto notifier = std::make_shared<LogNotifier>(clock);
    const int timer = secondTimer();
    if (signals.fd() < 0 || timer < 0) {
        notifier->log(std::string("cannot set up the headless loop: ") + std::strerror(errno));
        if (timer >= 0) ::close(timer);
        return 1;
    }

    MonitorServices services;
    services.notifier = notifier;
    services.clock = clock;
    services.historyFile = options.historyFile;
    Monitor monitor(std::move(services));
    if (options.interfaces) monitor.setInterfaceOverride(*options.interfaces);
    monitor.loadSettings();
    const std::string started = startedText(monitor.captureSet(), options.metrics);
    notifier->log(started);
    monitor.start();
    if (options.metrics) options.metrics->start(engineMetricsSource(monitor, options.maxApplicationSeries));

    int status = 0;
    std::u16string loggedState;
    pollfd fds[2] = {{signals.fd(), POLLIN, 0}, {timer, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            notifier->log(std::string("stopping: poll failed: ") + std::strerror(errno));
            status = 1;
            break;
        }
        if (fds[0].revents != 0) {
            unsigned char number = SIGTERM;
            [[maybe_unused]] const ssize_t n = ::read(signals.fd(), &number, 1);
            const char* name = sigabbrev_np(number);
            notifier->log(std::string("stopping on SIG") + (name ? name : "TERM"));
            break;
        }
        if (fds[1].revents != 0) {
            // Ticks missed while the machine slept are not caught up, as with the window's timer.
            std::uint64_t expirations = 0;
            (void)!::read(timer, &expirations, sizeof expirations);
            monitor.tick();
            // A supervisor (systemd's Restart=on-failure) can do better than a monitor that counts nothing.
            if (monitor.captureStatus().helperGaveUp) {
                notifier->log("stopping: the capture helper keeps ending");
                status = 1;
                break;
            }
            // Where the window's status line would change, say what is captured and how owners are found.
            std::u16string state = captureStateText(monitor.captureStatus());
            if (!state.empty() && state != loggedState) {
                notifier->log(u16ToUtf8(state));
                loggedState = std::move(state);
            }
        }
    }
    ::close(timer);

    monitor.stop();
    if (options.metrics) options.metrics->stop();
    std::this_thread::sleep_for(options.exitWait);
    return status;
}

int runHeadlessCommand(const CommandLine& commandLine) {
    std::optional<MetricsServer> metrics;
    if (commandLine.metrics) {
        metrics.emplace(*commandLine.metrics);
        if (const std::string error = metrics->listen(); !error.empty()) {
            std::fprintf(stderr, "sondrel: cannot serve metrics on %s: %s\n", metrics->addressText().c_str(),
                         error.c_str());
            return 1;
        }
    }
    TerminationSignals terminationSignals;
    HeadlessOptions options;
    options.metrics = metrics ? &*metrics : nullptr;
    options.maxApplicationSeries = commandLine.maxApplicationSeries;
    options.interfaces = commandLine.interfaces;
    options.historyFile = historyFileFor(commandLine);
    return runHeadless(terminationSignals, options);
}

}  // namespace sondrel
