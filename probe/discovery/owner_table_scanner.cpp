#include "probe/discovery/owner_table_scanner.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "probe/discovery/process_label.h"
#include "probe/discovery/process_snapshot.h"

namespace sondrel {

OwnerTableScanner::OwnerTableScanner(std::string procRoot, RowSource source)
    : m_procRoot(std::move(procRoot)), m_source(source) {}

bool OwnerTableScanner::readTable(const char* name, int family, int protocol, bool required) {
    if (m_source == RowSource::SocketDiagThenTableFiles) {
        const std::size_t before = m_rows.size();
        if (m_socketDiag.dump(family, protocol, m_rows)) return true;
        m_rows.resize(before);
    }
    const auto text = m_tableReader.read(m_procRoot + "/net/" + name);
    if (!text) return !required;
    appendSocketTable(*text, m_rows, std::uint8_t(protocol));
    return true;
}

bool OwnerTableScanner::readTcpTables() {
    if (m_source == RowSource::SocketDiagThenTableFiles) {
        const std::size_t before = m_rows.size();
        if (m_socketDiag.dumpTcp(m_rows)) return true;
        m_rows.resize(before);
    }
    if (!readTable("tcp", AF_INET, IPPROTO_TCP, true)) return false;
    readTable("tcp6", AF_INET6, IPPROTO_TCP, false);
    return true;
}

void OwnerTableScanner::readOtherTables() {
    using Append = void (*)(std::string_view, std::vector<SocketRow>&);
    static constexpr std::pair<const char*, Append> kTables[] = {
        {"sctp/eps", appendSctpTable},
        {"sctp/assocs", appendSctpTable},
        {"icmp", [](std::string_view text, std::vector<SocketRow>& rows) { appendPingTable(text, AF_INET, rows); }},
        {"icmp6", [](std::string_view text, std::vector<SocketRow>& rows) { appendPingTable(text, AF_INET6, rows); }},
        {"raw", [](std::string_view text, std::vector<SocketRow>& rows) { appendRawTable(text, AF_INET, rows); }},
        {"raw6", [](std::string_view text, std::vector<SocketRow>& rows) { appendRawTable(text, AF_INET6, rows); }},
    };
    for (const auto& [name, append] : kTables) {
        if (const auto text = m_tableReader.read(m_procRoot + "/net/" + name)) append(*text, m_rows);
    }
}

// A process on its way out has already lost its address space (so its exe
// link and cmdline) while its sockets are still open: it would be renamed to
// its short comm for the last packets of its life and show as a second
// application. The path seen in the previous pass for the same pid is kept
// when the fallback name is the start of that path's file name.
std::u16string OwnerTableScanner::keepPathWhileExiting(int pid, std::u16string label) const {
    if (label.find(u'/') != std::u16string::npos) return label;
    const auto it = m_pathOfPid.find(pid);
    if (it == m_pathOfPid.end()) return label;
    const std::u16string_view path = it->second;
    const std::u16string_view fileName = path.substr(path.rfind(u'/') + 1);
    if (label.empty() || !fileName.starts_with(label)) return label;
    return it->second;
}

ScanStatus OwnerTableScanner::scan() {
    m_rows.clear();
    std::swap(m_labels, m_previousLabels);
    std::swap(m_ownedPorts, m_previousOwnedPorts);
    std::swap(m_unownedPorts, m_previousUnownedPorts);
    m_labels.clear();
    m_ownedPorts.clear();
    m_unownedPorts.clear();
    m_sameAsPreviousScan = false;
    if (!readTcpTables()) return ScanStatus::TcpTableUnreadable;
    if (!readTable("udp", AF_INET, IPPROTO_UDP, true)) return ScanStatus::UdpTableUnreadable;
    readTable("udp6", AF_INET6, IPPROTO_UDP, false);
    readOtherTables();

    const ProcessSnapshot snapshot = takeProcessSnapshot(m_procRoot);
    // A process owns many rows (a server's listener and its connections): its
    // label is worked out once per pass.
    std::unordered_map<int, std::uint32_t> labelOfPid;
    std::unordered_map<int, std::u16string> pathOfPid;
    const auto labelIndex = [&](int pid) {
        const auto [it, isNew] = labelOfPid.try_emplace(pid, std::uint32_t(m_labels.size()));
        if (isNew) {
            std::u16string label = keepPathWhileExiting(pid, LookupProcessLabel(snapshot, pid));
            if (label.find(u'/') != std::u16string::npos) pathOfPid.emplace(pid, label);
            m_labels.push_back(std::move(label));
        }
        return it->second;
    };
    const std::vector<int>& owners = m_ownerCache.resolve(m_rows, snapshot, labelIndex);

    m_ownedPorts.reserve(m_rows.size());
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        const SocketRow& row = m_rows[i];
        const int pid = owners[i];
        if (pid != 0) {
            m_ownedPorts.push_back(OwnedPort{row.localPort, labelIndex(pid), row.protocol, row.carries, pid, row.inode,
                                             row.raw, row.localAddress});
        } else if (row.inode != 0) {
            m_unownedPorts.push_back(
                OwnedPort{row.localPort, 0, row.protocol, row.carries, 0, row.inode, row.raw, row.localAddress});
        }
    }
    m_pathOfPid = std::move(pathOfPid);
    // Label numbers follow the order owners were looked at, which may differ
    // from the scan before: compare the texts.
    m_sameAsPreviousScan = std::equal(m_ownedPorts.begin(), m_ownedPorts.end(), m_previousOwnedPorts.begin(),
                                      m_previousOwnedPorts.end(), [&](const OwnedPort& now, const OwnedPort& before) {
                                          return now.localPort == before.localPort && now.protocol == before.protocol &&
                                                 now.carries == before.carries && now.pid == before.pid &&
                                                 now.raw == before.raw && now.localAddress == before.localAddress &&
                                                 m_labels[now.labelIndex] == m_previousLabels[before.labelIndex];
                                      }) &&
                           m_unownedPorts == m_previousUnownedPorts;
    return ScanStatus::Ok;
}

}  // namespace sondrel
