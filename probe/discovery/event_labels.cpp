#include "probe/discovery/event_labels.h"

#include "base/text.h"
#include "probe/discovery/process_label.h"
#include "probe/discovery/process_snapshot.h"
#include "base/protocol_names.h"

namespace sondrel {

namespace {

// The pass's label, except that a process gone since its event is named by
// the event's comm rather than by its number.
std::u16string readLabel(const std::string& procRoot, std::uint32_t tgid, std::string_view comm) {
    const int pid = int(tgid);
    std::u16string label = LookupProcessLabel(ProcessSnapshot(procRoot, {pid}), pid);
    if (label.starts_with(u"Process ID# ") && !comm.empty()) {
        std::u16string name = truncateUnits(utf8ToU16(comm), kMaxLabelFileNameUnits);
        if (!isProtocolLabel(name)) label = std::move(name);
    }
    return label;
}

}  // namespace

EventLabels::EventLabels(std::string procRoot) : m_procRoot(std::move(procRoot)) {}

std::u16string& EventLabels::slot(std::uint32_t tgid) {
    if (m_labels.size() >= kMaxKept && !m_labels.contains(tgid)) m_labels.clear();
    return m_labels[tgid];
}

const std::u16string& EventLabels::labelOf(std::uint32_t tgid, std::string_view comm) {
    const auto it = m_labels.find(tgid);
    if (it != m_labels.end()) return it->second;
    std::u16string& label = slot(tgid);
    label = readLabel(m_procRoot, tgid, comm);
    return label;
}

void EventLabels::exec(std::uint32_t tgid, std::string_view path, std::string_view comm) {
    if (path.empty()) {
        slot(tgid) = readLabel(m_procRoot, tgid, comm);
        return;
    }
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted)) path.remove_suffix(kDeleted.size());
    slot(tgid) = truncateUnits(utf8ToU16(path), kMaxLabelPathUnits);
}

void EventLabels::fork(std::uint32_t parent, std::uint32_t child) {
    const auto it = m_labels.find(parent);
    if (it == m_labels.end()) return;
    const std::u16string label = it->second;
    slot(child) = label;
}

void EventLabels::exit(std::uint32_t tgid) { m_labels.erase(tgid); }

}  // namespace sondrel
