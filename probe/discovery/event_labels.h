#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace sondrel {

// The label of the process behind each owner event. An exec event names the
// executable while the process is alive for sure, so a program too short-lived
// for /proc to be read in time still gets its path; a forked child carries its
// parent's label until it execs. A process seen only through socket events
// is labelled from /proc when first met, as a discovery pass would, and by
// the event's comm when it has already gone.
class EventLabels {
public:
    explicit EventLabels(std::string procRoot = "/proc");

    const std::u16string& labelOf(std::uint32_t tgid, std::string_view comm);
    // Whether labelOf answers without reading /proc.
    bool known(std::uint32_t tgid) const { return m_labels.contains(tgid); }
    void exec(std::uint32_t tgid, std::string_view path, std::string_view comm);
    void fork(std::uint32_t parent, std::uint32_t child);
    void exit(std::uint32_t tgid);

    // Labels kept at most; beyond it they are read again when needed.
    static constexpr std::size_t kMaxKept = 1 << 16;

private:
    std::u16string& slot(std::uint32_t tgid);

    std::string m_procRoot;
    std::unordered_map<std::uint32_t, std::u16string> m_labels;
};

}  // namespace sondrel
