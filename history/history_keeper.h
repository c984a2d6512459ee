#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/notifier.h"
#include "engine/records.h"
#include "history/data_cap_watch.h"
#include "history/history_recorder.h"

namespace sondrel {

// The history and the data caps as the Monitor keeps them: the file opened
// at start (what is wrong with it told once), the recorder flushed at each
// tick, before each reset and at exit, and the caps checked against it, each
// threshold told once through the notifier (a tray notice, or a log line).
class HistoryKeeper {
public:
    // Empty `path`: nothing is kept. Problems opening the file are told; the
    // counts then stay in the live lists only.
    HistoryKeeper(const std::string& path, std::shared_ptr<RecordsState> records, std::shared_ptr<Notifier> notifier,
                  const std::optional<LocalTime>& now);

    // The tick thread, after the queue was drained.
    void tick(const std::optional<LocalTime>& now);
    // Inside ResetStatistics, under RecordsLock, right before the table is cleared.
    void beforeReset(AppTable& table);
    // At exit: everything counted is written before the process ends.
    void flushAndWait();

    void setCaps(std::vector<DataCap> caps);
    // Of the last check; callable from any thread (the metrics server's).
    std::vector<DataCapUse> capUses() const;

    const HistoryView* view() const { return m_recorder.get(); }

private:
    void checkCaps(HistoryDay today);

    std::shared_ptr<Notifier> m_notifier;
    std::unique_ptr<HistoryRecorder> m_recorder;
    DataCapWatch m_caps;
    int m_ticksSinceCapCheck = 0;
    bool m_capsChanged = false;
    mutable std::mutex m_usesLock;
    std::vector<DataCapUse> m_uses;
};

// "Firefox has used 80 % of its monthly data cap: 40 GB of 50 GB."
std::u16string dataCapNoticeText(const DataCapCrossing& crossing);

}  // namespace sondrel
