#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "probe/bpf/owner_event.h"
#include "probe/discovery/conntrack_table.h"
#include "probe/discovery/foreign_flows.h"
#include "probe/discovery/namespace_names.h"
#include "probe/discovery/proc_files.h"
#include "probe/event_writer.h"

namespace sondrel::probe {

// The owner events' sockets of other network namespaces (containers, `ip
// netns exec`), turned into flow claims through this namespace's connection
// tracking table, labelled with their namespace's name. Runs on the thread
// that reads the owner events.
class ForeignOwners {
public:
    explicit ForeignOwners(std::string procRoot = "/proc");

    // The namespace the helper's own sockets live in; 0 when it cannot be told.
    std::uint32_t ownNamespace() const { return m_ownNamespace; }
    // The process used the socket from `atNs` on (the event's time, or before it for a tracepoint's).
    void observe(const OwnerEvent& event, const SocketClaim& socket, const std::u16string& executableLabel,
                 std::int64_t atNs);
    // The flows learnt since the last call, written before the claims' completion.
    void flush(EventWriter& writer, std::int64_t nowNs);

private:
    const std::string& nameOf(std::uint32_t tgid, std::uint32_t netns, std::int64_t nowNs);

    std::string m_procRoot;
    std::uint32_t m_ownNamespace = 0;
    ForeignFlows m_flows;
    NetworkNamespaceNames m_netnsNames;
    std::unordered_map<std::uint32_t, std::string> m_nameByNamespace;  // "" for none
    TableFileReader m_reader;
    std::vector<ConntrackEntry> m_entries;
    std::vector<FlowClaim> m_claims;
    std::vector<std::uint8_t> m_frames;
    bool m_conntrackReadable = true;
    std::int64_t m_lastSocketNs = 0;
};

}  // namespace sondrel::probe
