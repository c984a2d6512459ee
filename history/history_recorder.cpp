#include "history/history_recorder.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "base/text.h"

namespace sondrel {

// Lock order: storeMutex, then RecordsLock, then queueMutex. The writer never
// takes RecordsLock, and a flush holds RecordsLock until its batch is queued,
// so a view sees each delta in exactly one place: the file, the batches being
// written, the queue, or the table.
struct HistoryRecorder::Shared {
    std::mutex storeMutex;
    std::unique_ptr<HistoryStore> store;
    std::vector<HistoryBatch> taken;  // off the queue, not yet in the file
    HistoryDay retentionDay = 0;

    std::mutex queueMutex;
    std::condition_variable wake;
    std::condition_variable done;
    std::vector<HistoryBatch> queue;
    HistoryDay day = 0;  // the day the table's unflushed bytes belong to
    std::uint64_t enqueued = 0;
    std::uint64_t attempted = 0;
    bool lastOk = true;
    bool failing = false;
    std::optional<std::u16string> failureToTell;
    bool stop = false;
};

namespace {

void writeLoop(const std::shared_ptr<HistoryRecorder::Shared>& shared) {
    for (;;) {
        {
            std::unique_lock queueGuard(shared->queueMutex);
            shared->wake.wait(queueGuard, [&] { return shared->stop || shared->attempted < shared->enqueued; });
            if (shared->attempted == shared->enqueued) return;
        }
        const std::scoped_lock storeGuard(shared->storeMutex);
        std::uint64_t target = 0;
        {
            const std::scoped_lock queueGuard(shared->queueMutex);
            target = shared->enqueued;
            for (HistoryBatch& batch : shared->queue) shared->taken.push_back(std::move(batch));
            shared->queue.clear();
        }
        HistoryWriteResult result;
        if (!shared->taken.empty()) {
            HistoryDay newest = shared->retentionDay;
            for (const HistoryBatch& batch : shared->taken) newest = std::max(newest, batch.day);
            result = shared->store ? shared->store->add(shared->taken)
                                   : HistoryWriteResult{HistoryWriteError::Other, "no history file is open"};
            if (result.ok()) {
                shared->taken.clear();
                if (newest > shared->retentionDay) {
                    shared->store->applyRetention(newest);
                    shared->retentionDay = newest;
                }
            } else {
                compactBatches(shared->taken);
            }
        }
        {
            const std::scoped_lock queueGuard(shared->queueMutex);
            shared->attempted = target;
            shared->lastOk = result.ok();
            if (!result.ok() && !shared->failing) {
                shared->failureToTell = u"Can't write the history file: " + utf8ToU16(result.text) +
                                        u". The traffic counted is kept and written as soon as the file can be.";
            }
            shared->failing = !result.ok();
        }
        shared->done.notify_all();
    }
}

}  // namespace

HistoryRecorder::HistoryRecorder(std::shared_ptr<RecordsState> records, std::unique_ptr<HistoryStore> store,
                                 HistoryDay today)
    : m_records(std::move(records)), m_shared(std::make_shared<Shared>()) {
    m_shared->store = std::move(store);
    m_shared->retentionDay = today;
    m_shared->day = today;
    m_writer = std::thread(writeLoop, m_shared);
}

HistoryRecorder::~HistoryRecorder() {
    {
        const std::scoped_lock guard(m_shared->queueMutex);
        m_shared->stop = true;
    }
    m_shared->wake.notify_all();
    m_writer.join();
}

HistoryBatch HistoryRecorder::collect(AppTable& table, HistoryDay day, bool mark) {
    HistoryBatch batch{day, {}};
    batch.applications.reserve(table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        AppRecord& app = table.app(i);
        HistoryAppDelta* delta = nullptr;
        for (EndpointRecord& endpoint : app.endpoints) {
            if (endpoint.ulBytes == endpoint.historyUl && endpoint.dlBytes == endpoint.historyDl) continue;
            if (!delta) {
                batch.applications.push_back(HistoryAppDelta{app.name, {}});
                delta = &batch.applications.back();
                delta->endpoints.reserve(app.endpoints.size());
            }
            // Counters only grow between resets; a smaller one cannot come
            // from this table, so all of it counts.
            const std::uint64_t ul =
                endpoint.ulBytes >= endpoint.historyUl ? endpoint.ulBytes - endpoint.historyUl : endpoint.ulBytes;
            const std::uint64_t dl =
                endpoint.dlBytes >= endpoint.historyDl ? endpoint.dlBytes - endpoint.historyDl : endpoint.dlBytes;
            // The file keeps the last host name it was given, so a name goes once.
            delta->endpoints.push_back(HistoryEndpointDelta{
                endpoint.remoteIpText, endpoint.historyHostSent ? std::u16string() : endpoint.remoteHostName, ul, dl});
            if (mark) {
                endpoint.historyUl = endpoint.ulBytes;
                endpoint.historyDl = endpoint.dlBytes;
                endpoint.historyHostSent = !endpoint.remoteHostName.empty();
            }
        }
    }
    return batch;
}

void HistoryRecorder::enqueue(HistoryBatch batch) {
    {
        const std::scoped_lock guard(m_shared->queueMutex);
        if (!batch.applications.empty()) m_shared->queue.push_back(std::move(batch));
        // Counted even when empty: the writer then retries what failed before.
        ++m_shared->enqueued;
    }
    m_shared->wake.notify_one();
}

void HistoryRecorder::flushHeld(AppTable& table) {
    HistoryDay day = 0;
    {
        const std::scoped_lock guard(m_shared->queueMutex);
        day = m_shared->day;
    }
    enqueue(collect(table, day));
}

void HistoryRecorder::flush() {
    const std::scoped_lock guard(m_records->RecordsLock);
    flushHeld(m_records->table);
}

std::optional<std::u16string> HistoryRecorder::tick(const std::optional<LocalTime>& now) {
    if (now) {
        const HistoryDay today = historyDayOf(now->year, now->month, now->day);
        const std::int64_t second = std::int64_t(today) * 86400 + now->hour * 3600 + now->minute * 60 + now->second;
        HistoryDay day = 0;
        {
            const std::scoped_lock guard(m_shared->queueMutex);
            day = m_shared->day;
        }
        if (today != day) {
            flush();
            const std::scoped_lock guard(m_shared->queueMutex);
            m_shared->day = today;
            m_lastFlushSecond = second;
        } else if (!m_lastFlushSecond) {
            m_lastFlushSecond = second;
        } else if (second - *m_lastFlushSecond >= 60 || second < *m_lastFlushSecond) {
            flush();
            m_lastFlushSecond = second;
        }
    }
    return takeFailure();
}

bool HistoryRecorder::flushAndWait(std::chrono::milliseconds timeout) {
    flush();
    std::unique_lock guard(m_shared->queueMutex);
    const std::uint64_t target = m_shared->enqueued;
    return m_shared->done.wait_for(guard, timeout, [&] { return m_shared->attempted >= target; }) && m_shared->lastOk;
}

std::optional<std::u16string> HistoryRecorder::takeFailure() {
    const std::scoped_lock guard(m_shared->queueMutex);
    std::optional<std::u16string> text = std::move(m_shared->failureToTell);
    m_shared->failureToTell.reset();
    return text;
}

void HistoryRecorder::withStore(const std::function<void(HistoryStore&)>& use) {
    const std::scoped_lock guard(m_shared->storeMutex);
    if (m_shared->store) use(*m_shared->store);
}

void HistoryRecorder::read(const std::function<void(const HistoryStore&)>& fromFile,
                           const std::function<void(const std::vector<HistoryBatch>&)>& addUnwritten) const {
    const std::scoped_lock storeGuard(m_shared->storeMutex);
    if (m_shared->store) fromFile(*m_shared->store);
    addUnwritten(m_shared->taken);
    const std::scoped_lock recordsGuard(m_records->RecordsLock);
    const std::scoped_lock queueGuard(m_shared->queueMutex);
    addUnwritten(m_shared->queue);
    addUnwritten({collect(m_records->table, m_shared->day, false)});
}

std::vector<ApplicationTotal> HistoryRecorder::applications(const HistoryRange& range) const {
    std::vector<ApplicationTotal> totals;
    read([&](const HistoryStore& store) { totals = store.applications(range); },
         [&](const std::vector<HistoryBatch>& batches) { addPending(batches, range, totals); });
    sortTotals(totals);
    return totals;
}

std::vector<EndpointTotal> HistoryRecorder::endpoints(const HistoryRange& range,
                                                      const std::u16string& application) const {
    std::vector<EndpointTotal> totals;
    read([&](const HistoryStore& store) { totals = store.endpoints(range, application); },
         [&](const std::vector<HistoryBatch>& batches) { addPending(batches, range, application, totals); });
    sortTotals(totals);
    return totals;
}

std::vector<DayTotal> HistoryRecorder::days(const HistoryRange& range,
                                            const std::optional<std::u16string>& application) const {
    std::vector<DayTotal> totals;
    read([&](const HistoryStore& store) { totals = store.days(range, application); },
         [&](const std::vector<HistoryBatch>& batches) { addPending(batches, range, application, totals); });
    sortTotals(totals);
    return totals;
}

}  // namespace sondrel
