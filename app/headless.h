#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "app/command_line.h"
#include "base/capture_set.h"
#include "metrics/exposition.h"

namespace sondrel {

class MetricsServer;

// SIGTERM and SIGINT as bytes (the signal's number) on a pipe: a handler
// that only writes one byte, whichever thread takes the signal. No signal is
// blocked, so the programs the engine starts (the capture helper) inherit no
// blocked mask and die of these signals as usual. One at a time per process.
class TerminationSignals {
public:
    TerminationSignals();
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // Readable once a signal has come; -1 when the pipe could not be made.
    int fd() const { return m_readFd; }

private:
    int m_readFd = -1;
    int m_writeFd = -1;
};

struct HeadlessOptions {
    MetricsServer* metrics = nullptr;  // listening already; served while the engine runs
    std::size_t maxApplicationSeries = kDefaultMaxApplicationSeries;
    std::optional<CaptureSet> interfaces;  // --interfaces: instead of the settings' choice
    std::chrono::milliseconds exitWait{500};  // as the window's exit sequence
    std::string historyFile;                  // empty: no history kept
};

// The engine without a window and without Qt: settings read as the window
// reads them, capture and discovery started, the tick once a second (daily
// reports included), every message as a time-stamped line on stderr. After
// SIGTERM or SIGINT it clears the capture and discovery flags, ends the
// metrics thread and waits as the window's "Exit" does, then returns the exit
// status: 0, or 1 when the loop itself could not run.
int runHeadless(TerminationSignals& signals, const HeadlessOptions& options);

// `sondrel --headless ...` as a whole: the metrics port taken first (a taken
// or foreign address ends the run at once with the reason), then runHeadless.
int runHeadlessCommand(const CommandLine& commandLine);

}  // namespace sondrel
