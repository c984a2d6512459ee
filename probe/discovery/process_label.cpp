#include "probe/discovery/process_label.h"

#include <string_view>

#include "base/text.h"
#include "probe/discovery/proc_files.h"
#include "base/protocol_names.h"

namespace sondrel {

namespace {

std::string_view withoutDeletedMark(std::string_view path) {
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted)) path.remove_suffix(kDeleted.size());
    return path;
}

}  // namespace

// Link text of /proc/<pid>/exe: "/usr/lib/firefox/firefox (deleted)"
std::u16string LookupProcessLabel(const ProcessSnapshot& snapshot, int pid) {
    if (!snapshot.contains(pid)) return u"Process ID# " + decimalU16(std::int64_t(pid));
    const std::string processDir = snapshot.procRoot() + '/' + std::to_string(pid);
    if (const auto path = readLinkText(processDir + "/exe")) {
        const std::string_view kept = withoutDeletedMark(*path);
        if (!kept.empty()) return truncateUnits(utf8ToU16(kept), kMaxLabelPathUnits);
    }
    if (const auto name = snapshot.executableFileName(pid)) {
        // argv[0] and comm are the process's own choice: one may not pass
        // itself off as a protocol and hide its traffic in that protocol's row.
        std::u16string label = truncateUnits(utf8ToU16(*name), kMaxLabelFileNameUnits);
        if (!isProtocolLabel(label)) return label;
    }
    return u"Process ID# " + decimalU16(std::int64_t(pid));
}

}  // namespace sondrel
