#include "probe/foreign_owners.h"

#include <sys/stat.h>

#include <cstring>

#include "base/text.h"
#include "probe/privileges.h"
#include "wire/events.h"

namespace sondrel::probe {

namespace {

Ipv6Address addressOf(std::uint8_t family, std::uint32_t ipv4, const Ipv6Address& ipv6) {
    if (family == kFamilyIpv6) return ipv6;
    Ipv6Address bytes{};
    std::memcpy(bytes.data(), &ipv4, 4);
    return bytes;
}

// Namespaces come and go with their containers; their names are few.
constexpr std::size_t kMaxNamedNamespaces = 4096;

}  // namespace

ForeignOwners::ForeignOwners(std::string procRoot) : m_procRoot(std::move(procRoot)), m_reader(std::size_t(1) << 20) {
    struct stat own {};
    if (stat((m_procRoot + "/self/ns/net").c_str(), &own) == 0) m_ownNamespace = std::uint32_t(own.st_ino);
}

// A container's processes share its cgroup; the first one seen names its namespace.
const std::string& ForeignOwners::nameOf(std::uint32_t tgid, std::uint32_t netns, std::int64_t nowNs) {
    if (const auto it = m_nameByNamespace.find(netns); it != m_nameByNamespace.end()) return it->second;
    if (m_nameByNamespace.size() >= kMaxNamedNamespaces) m_nameByNamespace.clear();
    std::optional<std::string> name;
    std::string cgroup;
    {
        const ScopedPrivilege reading(Privilege::ReadProcesses);
        if (readWholeFile(m_procRoot + "/" + std::to_string(tgid) + "/cgroup", cgroup)) name = containerNameFromCgroup(cgroup);
    }
    if (!name) name = m_netnsNames.nameOf(netns, nowNs);
    return m_nameByNamespace[netns] = name.value_or("");
}

void ForeignOwners::observe(const OwnerEvent& event, const SocketClaim& socket, const std::u16string& executableLabel,
                            std::int64_t atNs) {
    if (socket.raw || (socket.protocol != kProtocolTcp && socket.protocol != kProtocolUdp && socket.protocol != kProtocolSctp))
        return;
    const std::string& name = nameOf(event.tgid, socket.networkNamespace, event.timeNs);
    ForeignSocket seen;
    seen.netns = socket.networkNamespace;
    seen.protocol = socket.protocol;
    seen.family = socket.family;
    seen.carries = std::uint8_t((socket.carriesIpv4 ? kCarriesIpv4 : 0) | (socket.carriesIpv6 ? kCarriesIpv6 : 0));
    seen.localPort = socket.localPort;
    seen.remotePort = socket.remotePort;
    seen.local = addressOf(socket.family, socket.localIpv4, socket.localIpv6);
    seen.remote = addressOf(socket.family, socket.remoteIpv4, socket.remoteIpv6);
    seen.label = foreignLabel(u16ToUtf8(executableLabel), name.empty() ? std::nullopt : std::optional(name),
                              socket.networkNamespace);
    seen.sinceNs = atNs;
    m_flows.observeSocket(seen);
    m_lastSocketNs = event.timeNs;
}

void ForeignOwners::flush(EventWriter& writer, std::int64_t nowNs) {
    // A connect is told before its first packet makes the table's entry: the
    // table is read each round for a while after a socket was seen, so each
    // flow claim is sent before the claims that cover its first packets are complete.
    constexpr std::int64_t kFollowNs = 2'000'000'000;
    if (!m_flows.wantsConntrack(nowNs) && !(m_flows.socketCount() > 0 && nowNs - m_lastSocketNs < kFollowNs)) return;
    m_claims.clear();
    std::optional<std::string_view> table;
    if (m_conntrackReadable) {
        // Root's file: reading it is what the process-reading right is for.
        const ScopedPrivilege reading(Privilege::ReadProcesses);
        table = m_reader.read(m_procRoot + "/net/nf_conntrack");
    }
    if (table) {
        parseConntrackTable(*table, m_entries);
        m_flows.observeConntrack(m_entries, nowNs, m_claims);
    } else {
        // Without the table (no connection tracking here), address translation
        // is taken to keep ports, as it does unless two connections collide.
        m_conntrackReadable = false;
        m_flows.connectedFlows(nowNs, m_claims);
    }
    m_frames.clear();
    for (std::size_t at = 0; at < m_claims.size(); at += wire::kMaxClaimsPerFrame)
        wire::encodeFlowClaims(m_frames, std::span(m_claims).subspan(at, std::min(wire::kMaxClaimsPerFrame, m_claims.size() - at)));
    if (!m_frames.empty()) writer.write(m_frames);
}

}  // namespace sondrel::probe
