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

// Bytes counted on one interface.
struct DeviceCounters {
    std::string name;  // UTF-8, as the label carries it
    std::uint64_t transmitBytes = 0;
    std::uint64_t receiveBytes = 0;
};

// How far one data cap is used in its day or month.
struct DataCapRatio {
    std::string period;       // "day" or "month"
    std::string application;  // UTF-8; empty for all applications together
    double ratio = 0;
};

// What one scrape reports, copied out of the engine so that the text is
// formatted without holding any of its locks.
struct MetricsSnapshot {
    std::uint64_t generation = 0;  // changes at every statistics reset
    std::vector<ApplicationCounters> applications;
    CaptureStatus capture;
    // Every interface captured now or counted on since the reset; empty when
    // no interface is known (then the totals go under the capture's device).
    std::vector<DeviceCounters> devices;
    std::vector<DataCapRatio> dataCaps;
};

// Copies names and counters under RecordsLock, which is held for the copy only.
MetricsSnapshot takeMetricsSnapshot(RecordsState& records, CaptureStatus capture);

}  // namespace sondrel
