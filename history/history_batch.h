#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "history/history_view.h"

namespace sondrel {

// Bytes of one remote of one application not yet in the history file.
struct HistoryEndpointDelta {
    std::u16string remote;
    std::u16string hostName;  // empty: keep the one already known
    std::uint64_t ulBytes = 0;
    std::uint64_t dlBytes = 0;
};

// Grouped by application so that a walk of the live table copies each name once.
struct HistoryAppDelta {
    std::u16string application;
    std::vector<HistoryEndpointDelta> endpoints;
};

// What was counted on one day since the last flush.
struct HistoryBatch {
    HistoryDay day = 0;
    std::vector<HistoryAppDelta> applications;
};

// Folds batches into one per day and one row per (application, remote), the
// latest non-empty host name kept: a write that keeps failing holds memory in
// proportion to the distinct rows, not to the number of attempts.
void compactBatches(std::vector<HistoryBatch>& batches);

// The deltas of `batches` that fall in `range`, added to totals read from the
// file, so every view counts what is still on its way to disk.
void addPending(const std::vector<HistoryBatch>& batches, const HistoryRange& range,
                std::vector<ApplicationTotal>& totals);
void addPending(const std::vector<HistoryBatch>& batches, const HistoryRange& range,
                const std::u16string& application, std::vector<EndpointTotal>& totals);
void addPending(const std::vector<HistoryBatch>& batches, const HistoryRange& range,
                const std::optional<std::u16string>& application, std::vector<DayTotal>& totals);

// The orders HistoryView promises.
void sortTotals(std::vector<ApplicationTotal>& totals);
void sortTotals(std::vector<EndpointTotal>& totals);
void sortTotals(std::vector<DayTotal>& totals);

}  // namespace sondrel
