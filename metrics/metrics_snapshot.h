#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/capture_status.h"

namespace sondrel {

struct RecordsState;

struct ApplicationCounters {
    std::u16string name;
    std::uint64_t transmitBytes = 0;  // UL
    std::uint64_t receiveBytes = 0;   // DL
};

// What one scrape reports, copied out of the engine so that the text is
// formatted without holding any of its locks.
struct MetricsSnapshot {
    std::uint64_t generation = 0;  // changes at every statistics reset
    std::vector<ApplicationCounters> applications;
    CaptureStatus capture;
};

// Copies names and counters under RecordsLock, which is held for the copy only.
MetricsSnapshot takeMetricsSnapshot(RecordsState& records, CaptureStatus capture);

}  // namespace sondrel
