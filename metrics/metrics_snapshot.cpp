#include "metrics/metrics_snapshot.h"

#include <mutex>

#include "engine/records.h"

namespace sondrel {

MetricsSnapshot takeMetricsSnapshot(RecordsState& records, CaptureStatus capture) {
    MetricsSnapshot snapshot;
    snapshot.capture = std::move(capture);
    const std::scoped_lock guard(records.RecordsLock);
    snapshot.generation = records.table.generation();
    snapshot.applications.reserve(records.table.size());
    for (const AppRecord& app : records.table.records()) {
        snapshot.applications.push_back({app.name, app.ulBytes, app.dlBytes});
    }
    return snapshot;
}

}  // namespace sondrel
