#include "history/history_keeper.h"

#include "engine/main_lists.h"

namespace sondrel {

namespace {

// The caps are checked against the history every few ticks: each check reads
// the day's or month's totals, which walks the live table.
constexpr int kCapCheckTicks = 5;

std::optional<HistoryDay> dayOf(const std::optional<LocalTime>& now) {
    if (!now) return std::nullopt;
    return historyDayOf(now->year, now->month, now->day);
}

}  // namespace

HistoryKeeper::HistoryKeeper(const std::string& path, std::shared_ptr<RecordsState> records,
                             std::shared_ptr<Notifier> notifier, const std::optional<LocalTime>& now)
    : m_notifier(std::move(notifier)) {
    const std::optional<HistoryDay> today = dayOf(now);
    if (path.empty() || !today) return;
    HistoryOpenResult opened = HistoryStore::open(path, *today, *now);
    if (!opened.message.empty()) m_notifier->showNotice(u"Warning", opened.message, MessageIcon::Warning);
    if (opened.store) m_recorder = std::make_unique<HistoryRecorder>(std::move(records), std::move(opened.store), *today);
}

void HistoryKeeper::tick(const std::optional<LocalTime>& now) {
    if (!m_recorder) return;
    if (const std::optional<std::u16string> failure = m_recorder->tick(now))
        m_notifier->showNotice(u"Warning", *failure, MessageIcon::Warning);
    const std::optional<HistoryDay> today = dayOf(now);
    if (today && (m_capsChanged || ++m_ticksSinceCapCheck >= kCapCheckTicks)) checkCaps(*today);
}

void HistoryKeeper::beforeReset(AppTable& table) {
    if (m_recorder) m_recorder->flushHeld(table);
}

void HistoryKeeper::flushAndWait() {
    if (m_recorder && !m_recorder->flushAndWait()) {
        if (const std::optional<std::u16string> failure = m_recorder->takeFailure())
            m_notifier->showNotice(u"Warning", *failure, MessageIcon::Warning);
    }
}

void HistoryKeeper::setCaps(std::vector<DataCap> caps) {
    m_caps.setCaps(std::move(caps));
    m_capsChanged = true;
}

std::vector<DataCapUse> HistoryKeeper::capUses() const {
    const std::scoped_lock guard(m_usesLock);
    return m_uses;
}

void HistoryKeeper::checkCaps(HistoryDay today) {
    m_ticksSinceCapCheck = 0;
    m_capsChanged = false;
    for (const DataCapCrossing& crossing : m_caps.update(*m_recorder, today))
        m_notifier->showNotice(u"Data cap", dataCapNoticeText(crossing), MessageIcon::Warning);
    const std::scoped_lock guard(m_usesLock);
    m_uses = m_caps.uses();
}

std::u16string dataCapNoticeText(const DataCapCrossing& crossing) {
    const DataCap& cap = crossing.cap;
    const std::u16string period = cap.period == DataCap::Period::Day ? u"daily" : u"monthly";
    std::u16string text = cap.application.empty() ? u"All applications together have used " : cap.application + u" has used ";
    text += crossing.percent >= 100 ? u"100 %" : u"80 %";
    text += (cap.application.empty() ? u" of the " : u" of its ") + period + u" data cap: ";
    text += FormatByteCount(crossing.usedBytes) + u" of " + FormatByteCount(cap.limitBytes) + u".";
    return text;
}

}  // namespace sondrel
