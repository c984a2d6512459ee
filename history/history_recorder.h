#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "engine/records.h"
#include "history/history_batch.h"
#include "history/history_store.h"
#include "history/history_view.h"

namespace sondrel {

// Carries what the live table counted into the history file: every byte
// exactly once, whatever resets, failed writes and midnights come between.
//
// The Monitor drives it from its tick thread:
//  - tick(now) at every tick: a flush every 60 s and at each change of the
//    local date (what was counted before the change goes to the old day);
//  - flushHeld(table) inside ResetStatistics, under RecordsLock and right
//    before table.clear(), so nothing counted in between is lost;
//  - flushAndWait() at exit (and on SIGTERM in the service) so the last bytes
//    are on disk before the process ends.
// The SQLite writes run on a writer thread that owns the store. A write that
// fails keeps its batch and adds it to the next attempt.
//
// The views may be called from any thread, but never with RecordsLock held.
// Without a store every write fails, so the counts stay in memory and the
// caller is told; a Monitor without a history file makes no recorder.
class HistoryRecorder final : public HistoryView {
public:
    HistoryRecorder(std::shared_ptr<RecordsState> records, std::unique_ptr<HistoryStore> store, HistoryDay today);
    // Writes what was flushed, then ends the writer thread.
    ~HistoryRecorder() override;
    HistoryRecorder(const HistoryRecorder&) = delete;
    HistoryRecorder& operator=(const HistoryRecorder&) = delete;

    // A failure to tell the user: set once per streak of failed writes.
    std::optional<std::u16string> tick(const std::optional<LocalTime>& now);
    // Takes RecordsLock.
    void flush();
    // The caller holds RecordsLock over `table`.
    void flushHeld(AppTable& table);
    // flush(), then waits for the writer. True when everything counted is in the file.
    bool flushAndWait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The text of a failed streak's first write, once; empty otherwise.
    std::optional<std::u16string> takeFailure();

    std::vector<ApplicationTotal> applications(const HistoryRange& range) const override;
    std::vector<EndpointTotal> endpoints(const HistoryRange& range, const std::u16string& application) const override;
    std::vector<DayTotal> days(const HistoryRange& range,
                               const std::optional<std::u16string>& application = std::nullopt) const override;

    // Runs `use` with the store to itself (no write under way), on the caller's thread.
    void withStore(const std::function<void(HistoryStore&)>& use);

    // The walk of a flush: the rows whose bytes moved since the last one,
    // marked as handed over. `mark` false leaves the table as it was.
    static HistoryBatch collect(AppTable& table, HistoryDay day, bool mark = true);

    struct Shared;

private:
    void enqueue(HistoryBatch batch);
    // `fromFile` reads the store, then `addUnwritten` is handed each list of
    // deltas not in it yet (those being written, queued and still in the
    // table), all under the locks that keep a delta from being seen twice or
    // not at all.
    void read(const std::function<void(const HistoryStore&)>& fromFile,
              const std::function<void(const std::vector<HistoryBatch>&)>& addUnwritten) const;

    std::shared_ptr<RecordsState> m_records;
    std::shared_ptr<Shared> m_shared;
    std::thread m_writer;
    std::optional<std::int64_t> m_lastFlushSecond;
};

}  // namespace sondrel
