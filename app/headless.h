#pragma once

#include <chrono>
#include <cstddef>

#include "metrics/exposition.h"

namespace sondrel {

class MetricsServer;

// Blocks SIGTERM and SIGINT in the calling thread, and so in every thread it
// starts afterwards, and reads them from a signalfd instead: construct it
// before any thread is started, or that thread would still die of them.
class TerminationSignals {
public:
    TerminationSignals();
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

struct HeadlessOptions {
    MetricsServer* metrics = nullptr;  // listening already; served while the engine runs
    std::size_t maxApplicationSeries = kDefaultMaxApplicationSeries;
    std::chrono::milliseconds exitWait{500};  // as the window's exit sequence
};

// The engine without a window and without Qt: settings read as the window
// reads them, capture and discovery started, the tick once a second (daily
// reports included), every message as a time-stamped line on stderr. After
// SIGTERM or SIGINT it clears the capture and discovery flags, ends the
// metrics thread and waits as the window's "Exit" does, then returns the exit
// status: 0, or 1 when the loop itself could not run.
int runHeadless(TerminationSignals& signals, const HeadlessOptions& options);

}  // namespace sondrel
