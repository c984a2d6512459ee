#include "discovery/owner_table_scanner.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <unordered_map>

#include "discovery/process_label.h"
#include "discovery/process_snapshot.h"

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
    appendSocketTable(*text, m_rows);
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

ScanStatus OwnerTableScanner::scan() {
    m_rows.clear();
    std::swap(m_labels, m_previousLabels);
    std::swap(m_ownedPorts, m_previousOwnedPorts);
    m_labels.clear();
    m_ownedPorts.clear();
    m_sameAsPreviousScan = false;
    if (!readTcpTables()) return ScanStatus::TcpTableUnreadable;
    if (!readTable("udp", AF_INET, IPPROTO_UDP, true)) return ScanStatus::UdpTableUnreadable;
    readTable("udp6", AF_INET6, IPPROTO_UDP, false);

    const ProcessSnapshot snapshot = takeProcessSnapshot(m_procRoot);
    // A process owns many rows (a server's listener and its connections): its
    // label is worked out once per pass.
    std::unordered_map<int, std::uint32_t> labelOfPid;
    const auto labelIndex = [&](int pid) {
        const auto [it, isNew] = labelOfPid.try_emplace(pid, std::uint32_t(m_labels.size()));
        if (isNew) m_labels.push_back(LookupProcessLabel(snapshot, pid));
        return it->second;
    };
    const std::vector<int>& owners = m_ownerCache.resolve(m_rows, snapshot, labelIndex);

    m_ownedPorts.reserve(m_rows.size());
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        const int pid = owners[i];
        if (pid != 0) m_ownedPorts.push_back(OwnedPort{m_rows[i].localPort, labelIndex(pid)});
    }
    // Label numbers follow the order owners were looked at, which may differ
    // from the scan before: compare the texts.
    m_sameAsPreviousScan = std::equal(m_ownedPorts.begin(), m_ownedPorts.end(), m_previousOwnedPorts.begin(),
                                      m_previousOwnedPorts.end(), [&](const OwnedPort& now, const OwnedPort& before) {
                                          return now.localPort == before.localPort &&
                                                 m_labels[now.labelIndex] == m_previousLabels[before.labelIndex];
                                      });
    return ScanStatus::Ok;
}

}  // namespace sondrel
